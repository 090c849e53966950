#include "kv318_class.h"

#include <string>

#include "board_device.h"
#include "kv318_device.h"
#include "option_limits.h"

namespace kv318::tango_device {

namespace {

// One attribute as the class defines it: its Tango type and access, and
// the properties a generic client shows (unit, format, range, alarm).
struct AttrSpec {
    AttrId id;
    const char* name;
    long type;
    Tango::AttrWriteType access;
    const char* unit;
    const char* format;
    std::string min, max;
    const char* description;
    std::string maxAlarm = {};
    // Polled by Tango's own poller, so archivers and dashboards get change
    // events of the run's troubles without subscribing to the waveform.
    long pollMs = 0;
    const char* absChange = "";
};

std::string num(std::int64_t v) { return std::to_string(v); }
std::string real(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

std::vector<AttrSpec> attr_specs() {
    using kv318::pipeline::kClockHz;
    using kv318::pipeline::kDivider;
    const auto R = Tango::READ;
    const auto RW = Tango::READ_WRITE;
    return {
        {AttrId::kClock, "Clock", Tango::DEV_LONG64, RW, "Hz", "%d", num(kClockHz.min), num(kClockHz.max),
         "the converter clock: the library cannot read it, so it is what the board is said to run at"},
        {AttrId::kDivider, "Divider", Tango::DEV_LONG, RW, "", "%d", num(kDivider.min), num(kDivider.max),
         "the sample clock divider: samples come at Clock / Divider"},
        {AttrId::kSampleRate, "SampleRate", Tango::DEV_DOUBLE, R, "Hz", "%.6g", "", "",
         "samples a second of the stream run or followed (else of the next Start)"},
        {AttrId::kMode, "Mode", Tango::DEV_ENUM, RW, "", "", "", "",
         "stream: the library's timer drains the board; polled: each read drains it"},
        {AttrId::kWaveform, "Waveform", Tango::DEV_DOUBLE, R, "V", "%8.5f", "-5", "5",
         "the latest window of WaveformLength samples; pushed as change and data-ready events while a stream runs"},
        {AttrId::kFirstIndex, "FirstIndex", Tango::DEV_LONG64, R, "", "%d", "", "",
         "the stream's index of the Waveform's first sample; its change event comes just before each Waveform's"},
        {AttrId::kWaveformLength, "WaveformLength", Tango::DEV_LONG, RW, "", "%d", num(kv318::tango::kWindowLength.min),
         num(kv318::tango::kWindowLength.max), "samples in each Waveform window"},
        {AttrId::kEventRate, "EventRate", Tango::DEV_DOUBLE, RW, "Hz", "%.3g", real(kv318::tango::kEventRate.min),
         real(kv318::tango::kEventRate.max), "the most Waveform events a second"},
        {AttrId::kSamplesMissed, "SamplesMissed", Tango::DEV_LONG64, R, "", "%d", "", "",
         "samples of this run that never arrived from kv318-server", "0", 1000, "1"},
        {AttrId::kFifoLoss, "FifoLoss", Tango::DEV_BOOLEAN, R, "", "", "", "",
         "true when the board's FIFO may have run over in this run (a gap between drains was too long)", "", 1000},
        {AttrId::kFifoStatus, "FifoStatus", Tango::DEV_STRING, R, "", "", "", "", "the FIFO verdict in words"},
        {AttrId::kLongestGap, "LongestGap", Tango::DEV_DOUBLE, R, "ms", "%.3f", "", "",
         "the longest gap between two drains of the board's FIFO in this run"},
        {AttrId::kDrains, "Drains", Tango::DEV_LONG64, R, "", "%d", "", "", "drains that found data, this run"},
        {AttrId::kBytesDrained, "BytesDrained", Tango::DEV_LONG64, R, "B", "%d", "", "",
         "bytes taken from the board's FIFO, this run"},
        {AttrId::kDI, "DI", Tango::DEV_LONG, R, "", "0x%04X", "0", "65535",
         "the 16 digital inputs, bit k = DI k; change events pushed by the device"},
        {AttrId::kDO, "DO", Tango::DEV_LONG, RW, "", "0x%04X", "0", "65535",
         "the 16 digital outputs as last written (the board cannot read them back)"},
        {AttrId::kCounter, "Counter", Tango::DEV_LONG, R, "", "%d", "0", "65535",
         "the 16-bit counter; invalid while the board reports no valid count"},
        {AttrId::kPulseMode, "PulseMode", Tango::DEV_LONG, RW, "", "%d", num(kv318::pipeline::kPulseMode.min),
         num(kv318::pipeline::kPulseMode.max), "the pulse generator's mode for PulseRun: 0 continuous, 1 one-shot"},
        {AttrId::kPulseDivisor, "PulseDivisor", Tango::DEV_LONG, RW, "", "%d", num(kv318::pipeline::kPulseDivisor.min),
         num(kv318::pipeline::kPulseDivisor.max), "the pulse generator's divisor for PulseRun"},
        {AttrId::kIdentity1, "Identity1", Tango::DEV_STRING, R, "", "", "", "", "the board's first identity string"},
        {AttrId::kIdentity2, "Identity2", Tango::DEV_STRING, R, "", "", "", "", "the board's second identity string"},
        {AttrId::kController, "Controller", Tango::DEV_STRING, R, "", "", "", "",
         "who controls the board when another client does; empty otherwise"},
        {AttrId::kTriggerLevel, "TriggerLevel", Tango::DEV_DOUBLE, RW, "V", "%.4f",
         real(kv318::pipeline::kTriggerLevelVolts.min), real(kv318::pipeline::kTriggerLevelVolts.max),
         "the level Capture triggers at"},
        {AttrId::kTriggerEdge, "TriggerEdge", Tango::DEV_ENUM, RW, "", "", "", "", "the edge Capture triggers on"},
        {AttrId::kPretrigger, "Pretrigger", Tango::DEV_DOUBLE, RW, "%", "%.1f",
         real(kv318::pipeline::kPretriggerPercent.min), real(kv318::pipeline::kPretriggerPercent.max),
         "the part of a capture before its trigger"},
        {AttrId::kCaptureTimeout, "CaptureTimeout", Tango::DEV_DOUBLE, RW, "s", "%.3f",
         real(kv318::pipeline::kCaptureTimeoutSeconds.min), "60",
         "how long Capture waits for its trigger (a client's own timeout must be longer)"},
        {AttrId::kRecordFile, "RecordFile", Tango::DEV_STRING, R, "", "", "", "",
         "the HDF5 file Record writes; empty when none"},
    };
}

class KV318Attr : public Tango::Attr {
public:
    KV318Attr(AttrId id, const char* attrName, long dataType, Tango::AttrWriteType access)
        : Tango::Attr(attrName, dataType, access), id_(id) {}
    void read(Tango::DeviceImpl* dev, Tango::Attribute& att) override {
        static_cast<KV318Device*>(dev)->read_value(id_, att);
    }
    void write(Tango::DeviceImpl* dev, Tango::WAttribute& att) override {
        static_cast<KV318Device*>(dev)->write_value(id_, att);
    }

private:
    AttrId id_;
};

class KV318Spectrum : public Tango::SpectrumAttr {
public:
    KV318Spectrum(AttrId id, const char* attrName, long dataType, long maxX)
        : Tango::SpectrumAttr(attrName, dataType, Tango::READ, maxX), id_(id) {}
    void read(Tango::DeviceImpl* dev, Tango::Attribute& att) override {
        static_cast<KV318Device*>(dev)->read_value(id_, att);
    }

private:
    AttrId id_;
};

// The commands: which method each calls, and what it takes and gives.
enum class CmdId { kStart, kStop, kFollow, kCapture, kRecord, kStopRecord, kCounterRun, kPulseRun, kPulseStop };

class KV318Cmd : public Tango::Command {
public:
    KV318Cmd(CmdId id, const char* cmdName, Tango::CmdArgType in, Tango::CmdArgType out, const char* inDesc,
             const char* outDesc)
        : Tango::Command(cmdName, in, out, inDesc, outDesc), id_(id) {}

    CORBA::Any* execute(Tango::DeviceImpl* dev, const CORBA::Any& in) override {
        auto* d = static_cast<KV318Device*>(dev);
        switch (id_) {
        case CmdId::kStart:
            d->start();
            break;
        case CmdId::kStop:
            d->stop();
            break;
        case CmdId::kFollow:
            d->follow();
            break;
        case CmdId::kCapture: {
            Tango::DevLong n = 0;
            extract(in, n);
            return insert(CORBA::string_dup(d->capture(n).c_str()));
        }
        case CmdId::kRecord: {
            Tango::DevString path = nullptr;
            extract(in, path);
            return insert(CORBA::string_dup(d->record(path == nullptr ? "" : path).c_str()));
        }
        case CmdId::kStopRecord:
            d->stop_record();
            break;
        case CmdId::kCounterRun:
            d->counter_run();
            break;
        case CmdId::kPulseRun:
            d->pulse_run();
            break;
        case CmdId::kPulseStop:
            d->pulse_stop();
            break;
        }
        return insert();
    }

private:
    CmdId id_;
};

}  // namespace

const std::vector<PropertySpec>& property_specs() {
    static const std::vector<PropertySpec> specs = {
        {"Board", "",
         "the board's number; without it, the last member of the device's name when that is a number, else 0"},
        {"ServerURL", "", "kv318-server's URL (tcp://host:port); empty: the board of this machine"},
        {"ServerKeys", "", "the key directory for the server; empty: the library's own choice"},
        {"DefaultClock", "2000000", "the converter clock in Hz the device starts with"},
        {"DefaultDivider", "50", "the divider the device starts with"},
        {"FifoBytes", "524288", "the board's FIFO in bytes, for the FIFO verdict"},
        {"WaveformLength", "1000", "samples in each Waveform window at startup"},
        {"EventRate", "10", "the most Waveform events a second at startup"},
        {"DataDirectory", "/tmp", "where Capture and Record put files named without a directory"},
    };
    return specs;
}

KV318Class* KV318Class::the_ = nullptr;

KV318Class::KV318Class(std::string& className) : Tango::DeviceClass(className) {}

KV318Class* KV318Class::init(const char* className) {
    if (the_ == nullptr) {
        std::string s(className);
        the_ = new KV318Class(s);
    }
    return the_;
}

KV318Class* KV318Class::instance() { return the_; }

void KV318Class::command_factory() {
    using T = Tango::CmdArgType;
    const T none = Tango::DEV_VOID;
    command_list.push_back(new KV318Cmd(CmdId::kStart, "Start", none, none, "", ""));
    command_list.push_back(new KV318Cmd(CmdId::kStop, "Stop", none, none, "", ""));
    command_list.push_back(new KV318Cmd(CmdId::kFollow, "Follow", none, none, "", ""));
    command_list.push_back(new KV318Cmd(CmdId::kCapture, "Capture", Tango::DEV_LONG, Tango::DEV_STRING,
                                        "samples in the capture", "the HDF5 file written"));
    command_list.push_back(new KV318Cmd(CmdId::kRecord, "Record", Tango::DEV_STRING, Tango::DEV_STRING,
                                        "the HDF5 file, or empty for a new name in DataDirectory",
                                        "the HDF5 file being written"));
    command_list.push_back(new KV318Cmd(CmdId::kStopRecord, "StopRecord", none, none, "", ""));
    command_list.push_back(new KV318Cmd(CmdId::kCounterRun, "CounterRun", none, none, "", ""));
    command_list.push_back(new KV318Cmd(CmdId::kPulseRun, "PulseRun", none, none, "", ""));
    command_list.push_back(new KV318Cmd(CmdId::kPulseStop, "PulseStop", none, none, "", ""));
}

void KV318Class::attribute_factory(std::vector<Tango::Attr*>& attrs) {
    for (const AttrSpec& s : attr_specs()) {
        Tango::Attr* a = nullptr;
        if (s.id == AttrId::kWaveform) {
            a = new KV318Spectrum(s.id, s.name, s.type, static_cast<long>(kv318::tango::kMaxWindowLength));
        } else {
            a = new KV318Attr(s.id, s.name, s.type, s.access);
        }
        Tango::UserDefaultAttrProp prop;
        prop.set_description(s.description);
        if (*s.unit != '\0') prop.set_unit(s.unit);
        if (*s.format != '\0') prop.set_format(s.format);
        if (!s.min.empty()) prop.set_min_value(s.min.c_str());
        if (!s.max.empty()) prop.set_max_value(s.max.c_str());
        if (!s.maxAlarm.empty()) prop.set_max_alarm(s.maxAlarm.c_str());
        if (*s.absChange != '\0') prop.set_event_abs_change(s.absChange);
        if (s.pollMs > 0) a->set_polling_period(s.pollMs);
        if (s.id == AttrId::kMode) {
            std::vector<std::string> labels{"stream", "polled"};
            prop.set_enum_labels(labels);
        } else if (s.id == AttrId::kTriggerEdge) {
            std::vector<std::string> labels{"rising", "falling"};
            prop.set_enum_labels(labels);
        }
        a->set_default_properties(prop);
        attrs.push_back(a);
    }
}

void KV318Class::device_factory(const Tango::DevVarStringArray* devices) {
    for (CORBA::ULong i = 0; i < devices->length(); ++i) {
        device_list.push_back(new KV318Device(this, std::string((*devices)[i])));
    }
    for (CORBA::ULong i = 1; i <= devices->length(); ++i) {
        auto* dev = static_cast<KV318Device*>(device_list[device_list.size() - i]);
        if (Tango::Util::_UseDb && !Tango::Util::_FileDb) export_device(dev);
        else export_device(dev, dev->get_name().c_str());
    }
}

}  // namespace kv318::tango_device
