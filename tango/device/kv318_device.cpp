#include "kv318_device.h"

#include <sys/time.h>

#include <cstdlib>

#include "board_api.h"
#include "kv318_class.h"
#include "option_limits.h"

namespace kv318::tango_device {

namespace {

using kv318::tango::DeviceState;
using kv318::tango::Outcome;
using kv318::tango::WindowQuality;

Tango::DevState tango_state(DeviceState s) {
    switch (s) {
    case DeviceState::kOn:
        return Tango::ON;
    case DeviceState::kRunning:
        return Tango::RUNNING;
    case DeviceState::kStandby:
        return Tango::STANDBY;
    case DeviceState::kAlarm:
        return Tango::ALARM;
    case DeviceState::kFault:
        return Tango::FAULT;
    case DeviceState::kDisable:
        return Tango::DISABLE;
    }
    return Tango::UNKNOWN;
}

Tango::AttrQuality tango_quality(WindowQuality q) {
    switch (q) {
    case WindowQuality::kAlarm:
        return Tango::ATTR_ALARM;
    case WindowQuality::kWarning:
        return Tango::ATTR_WARNING;
    case WindowQuality::kValid:
        break;
    }
    return Tango::ATTR_VALID;
}

// A failed command as Tango clients get it: a DevFailed with the reason
// and the words.
void check(const Outcome& o, const char* origin) {
    if (!o.ok) Tango::Except::throw_exception(o.reason, o.words, origin);
}

// The board a device names, when no property does: "lab/kv318/3" is board 3.
std::int32_t board_from_name(const std::string& name) {
    const std::size_t slash = name.rfind('/');
    const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
    if (last.empty() || last.size() > 3 || last.find_first_not_of("0123456789") != std::string::npos) return 0;
    return static_cast<std::int32_t>(std::strtol(last.c_str(), nullptr, 10));
}

// Threads that are not omniORB's must be known to it before they push.
void ensure_omni_thread() { thread_local omni_thread::ensure_self self; }

}  // namespace

KV318Device::KV318Device(Tango::DeviceClass* cls, std::string name) : Tango::Device_5Impl(cls, name) { init_device(); }

KV318Device::~KV318Device() { delete_device(); }

void KV318Device::init_device() {
    kv318::tango::DeviceConfig config;
    config.board = board_from_name(get_name());
    config.name = get_name();
    config.tool = "kv318-tango " KV318_PROJECT_VERSION;
    if (Tango::Util::_UseDb) {
        Tango::DbData props;
        for (const PropertySpec& p : property_specs()) props.push_back(Tango::DbDatum(p.name));
        get_db_device()->get_property(props);
        auto take = [&props](std::size_t i, auto* value) {
            if (!props[i].is_empty()) props[i] >> *value;
        };
        Tango::DevLong board = config.board, divider = config.divider,
                       fifo = static_cast<Tango::DevLong>(config.fifoBytes);
        Tango::DevLong length = static_cast<Tango::DevLong>(config.waveformLength);
        Tango::DevLong64 clock = static_cast<Tango::DevLong64>(config.clockHz);
        take(0, &board);
        take(1, &config.serverUrl);
        take(2, &config.serverKeys);
        take(3, &clock);
        take(4, &divider);
        take(5, &fifo);
        take(6, &length);
        take(7, &config.eventRate);
        take(8, &config.dataDirectory);
        // Out-of-range properties would reach the board masked or clamped:
        // refused here, so the device does not start on a number it did not take.
        const std::pair<const pipeline::Limit*, std::int64_t> checks[] = {{&pipeline::kBoardNumber, board},
                                                                          {&pipeline::kClockHz, clock},
                                                                          {&pipeline::kDivider, divider},
                                                                          {&pipeline::kFifoBytes, fifo}};
        for (const auto& [limit, value] : checks) {
            if (const std::string why = pipeline::check_limit(*limit, value); !why.empty()) {
                Tango::Except::throw_exception("KV318_BadProperty", "property " + why, "KV318Device::init_device");
            }
        }
        config.board = board;
        config.clockHz = static_cast<std::uint64_t>(clock);
        config.divider = divider;
        config.fifoBytes = static_cast<std::uint64_t>(fifo);
        config.waveformLength = static_cast<std::size_t>(std::max<Tango::DevLong>(length, 1));
    }
    set_change_event("Waveform", true, false);
    set_data_ready_event("Waveform", true);
    set_change_event("FirstIndex", true, false);
    set_change_event("DI", true, false);
    board_ = std::make_unique<kv318::tango::BoardDevice>(pipeline::library_api(), config,
                                                         static_cast<kv318::tango::DeviceEvents&>(*this));
}

void KV318Device::delete_device() { board_.reset(); }

void KV318Device::read_attr_hardware(std::vector<long>&) { now_ = board_->readings(); }

Tango::DevState KV318Device::dev_state() {
    const kv318::tango::Summary summary = board_->summary();
    status_ = summary.status;
    const Tango::DevState s = tango_state(summary.state);
    set_state(s);
    return s;
}

Tango::ConstDevString KV318Device::dev_status() {
    dev_state();
    set_status(status_);
    return status_.c_str();
}

void KV318Device::read_value(AttrId id, Tango::Attribute& att) {
    const auto i = static_cast<std::size_t>(id);
    const kv318::tango::Readings& r = now_;
    auto l64 = [&](std::uint64_t v) {
        long64_[i] = static_cast<Tango::DevLong64>(v);
        att.set_value(&long64_[i]);
    };
    auto l32 = [&](std::int64_t v) {
        long_[i] = static_cast<Tango::DevLong>(v);
        att.set_value(&long_[i]);
    };
    auto dbl = [&](double v) {
        double_[i] = v;
        att.set_value(&double_[i]);
    };
    auto str = [&](const std::string& v) {
        text_[i] = v;
        textPtr_[i] = const_cast<char*>(text_[i].c_str());
        att.set_value(&textPtr_[i]);
    };
    auto enm = [&](short v) {
        enum_[i] = v;
        att.set_value(&enum_[i]);
    };
    switch (id) {
    case AttrId::kClock:
        return l64(r.clockHz);
    case AttrId::kDivider:
        return l32(r.divider);
    case AttrId::kSampleRate:
        return dbl(r.sampleRate);
    case AttrId::kMode:
        return enm(r.polled ? 1 : 0);
    case AttrId::kWaveform: {
        // Tango reads the array when the reply leaves, so it is the
        // snapshot's own, which lives until the next read.
        // Before the first window there is no value, which Tango calls invalid.
        if (now_.latest.volts.empty()) {
            att.set_quality(Tango::ATTR_INVALID);
            return;
        }
        auto* data = const_cast<double*>(now_.latest.volts.data());
        timeval t{};
        gettimeofday(&t, nullptr);
        att.set_value_date_quality(data, t, tango_quality(now_.latest.quality),
                                   static_cast<long>(now_.latest.volts.size()));
        return;
    }
    case AttrId::kFirstIndex:
        return l64(r.latest.firstIndex);
    case AttrId::kWaveformLength:
        return l32(static_cast<std::int64_t>(r.waveformLength));
    case AttrId::kEventRate:
        return dbl(r.eventRate);
    case AttrId::kSamplesMissed:
        return l64(r.missed);
    case AttrId::kFifoLoss:
        bool_[i] = r.statsKnown && r.verdict.possibleLoss;
        return att.set_value(&bool_[i]);
    case AttrId::kFifoStatus:
        return str(r.fifoWords);
    case AttrId::kLongestGap:
        return dbl(static_cast<double>(r.stats.longest_gap_us) / 1000.0);
    case AttrId::kDrains:
        return l64(r.stats.drains);
    case AttrId::kBytesDrained:
        return l64(r.stats.bytes_drained);
    case AttrId::kDI:
        if (!r.inputsKnown) {
            att.set_quality(Tango::ATTR_INVALID);
            return;
        }
        return l32(r.inputs);
    case AttrId::kDO:
        return l32(r.outputs);
    case AttrId::kCounter: {
        std::int32_t count = 0;
        check(board_->read_counter(&count), "KV318Device::read_Counter");
        return l32(count);
    }
    case AttrId::kPulseMode:
        return l32(pulseMode_);
    case AttrId::kPulseDivisor:
        return l32(pulseDivisor_);
    case AttrId::kIdentity1:
        return str(r.identity1);
    case AttrId::kIdentity2:
        return str(r.identity2);
    case AttrId::kController:
        return str(r.controller);
    case AttrId::kTriggerLevel:
        return dbl(capture_.levelVolts);
    case AttrId::kTriggerEdge:
        return enm(capture_.edge == analysis::Edge::Rising ? 0 : 1);
    case AttrId::kPretrigger:
        return dbl(capture_.pretriggerPercent);
    case AttrId::kCaptureTimeout:
        return dbl(capture_.timeoutSeconds);
    case AttrId::kRecordFile:
        return str(r.recordFile);
    case AttrId::kCount:
        break;
    }
}

void KV318Device::write_value(AttrId id, Tango::WAttribute& att) {
    Tango::DevLong64 l64 = 0;
    Tango::DevLong l32 = 0;
    Tango::DevDouble d = 0;
    Tango::DevShort e = 0;
    switch (id) {
    case AttrId::kClock:
        att.get_write_value(l64);
        return check(board_->set_clock(static_cast<std::uint64_t>(std::max<Tango::DevLong64>(l64, 0))), "write_Clock");
    case AttrId::kDivider:
        att.get_write_value(l32);
        return check(board_->set_divider(l32), "write_Divider");
    case AttrId::kMode:
        att.get_write_value(e);
        return check(board_->set_polled(e == 1), "write_Mode");
    case AttrId::kWaveformLength:
        att.get_write_value(l32);
        return check(board_->set_waveform_length(l32), "write_WaveformLength");
    case AttrId::kEventRate:
        att.get_write_value(d);
        return check(board_->set_event_rate(d), "write_EventRate");
    case AttrId::kDO:
        att.get_write_value(l32);
        return check(board_->write_outputs(l32), "write_DO");
    case AttrId::kPulseMode:
        att.get_write_value(l32);
        pulseMode_ = l32;
        return;
    case AttrId::kPulseDivisor:
        att.get_write_value(l32);
        pulseDivisor_ = l32;
        return;
    case AttrId::kTriggerLevel:
        att.get_write_value(d);
        capture_.levelVolts = d;
        return;
    case AttrId::kTriggerEdge:
        att.get_write_value(e);
        capture_.edge = e == 1 ? analysis::Edge::Falling : analysis::Edge::Rising;
        return;
    case AttrId::kPretrigger:
        att.get_write_value(d);
        capture_.pretriggerPercent = d;
        return;
    case AttrId::kCaptureTimeout:
        att.get_write_value(d);
        capture_.timeoutSeconds = d;
        return;
    default:
        return;
    }
}

std::string KV318Device::client_name() {
    Tango::client_addr* c = get_client_ident();
    if (c == nullptr || !c->client_ident) return "a Tango client";
    std::string ip = c->client_ip;
    // "giop:tcp:10.0.0.7:41234" names the host; the port says nothing.
    const std::size_t tcp = ip.find("tcp:");
    if (tcp != std::string::npos) ip = ip.substr(tcp + 4);
    const std::size_t colon = ip.rfind(':');
    if (colon != std::string::npos) ip.resize(colon);
    return "Tango client pid " + std::to_string(c->client_pid) + " at " + ip;
}

void KV318Device::start() { check(board_->start(client_name()), "KV318Device::Start"); }
void KV318Device::stop() { check(board_->stop(), "KV318Device::Stop"); }
void KV318Device::follow() { check(board_->follow(), "KV318Device::Follow"); }

std::string KV318Device::capture(Tango::DevLong samples) {
    kv318::tango::CaptureRequest request = capture_;
    request.samples = samples < 0 ? 0 : static_cast<std::uint64_t>(samples);
    std::string path;
    check(board_->capture(request, &path), "KV318Device::Capture");
    return path;
}

std::string KV318Device::record(const std::string& path) {
    std::string chosen;
    check(board_->record(path, &chosen), "KV318Device::Record");
    return chosen;
}

void KV318Device::stop_record() { check(board_->stop_record(), "KV318Device::StopRecord"); }
void KV318Device::counter_run() { check(board_->counter_run(), "KV318Device::CounterRun"); }
void KV318Device::pulse_run() { check(board_->pulse_run(pulseMode_, pulseDivisor_), "KV318Device::PulseRun"); }
void KV318Device::pulse_stop() { check(board_->pulse_stop(), "KV318Device::PulseStop"); }

void KV318Device::waveform(const kv318::tango::Window& w) {
    ensure_omni_thread();
    timeval t{};
    gettimeofday(&t, nullptr);
    try {
        // The index first: a client pairs each window with the index event before it.
        auto first = static_cast<Tango::DevLong64>(w.firstIndex);
        push_change_event("FirstIndex", &first);
        push_change_event("Waveform", const_cast<double*>(w.volts.data()), t, tango_quality(w.quality),
                          static_cast<long>(w.volts.size()), 0, false);
        push_data_ready_event("Waveform", static_cast<Tango::DevLong>(w.sequence & 0x7FFFFFFF));
    } catch (Tango::DevFailed&) {
        // No client, or the device is going away: the next window tries again.
    }
}

void KV318Device::inputs(std::int32_t value) {
    ensure_omni_thread();
    try {
        Tango::DevLong v = value;
        push_change_event("DI", &v);
    } catch (Tango::DevFailed&) {
    }
}

}  // namespace kv318::tango_device
