// The Tango device of class KV318: a thin shell over kv318::tango::BoardDevice
// that reads its properties, maps its states, attributes and commands to
// Tango's and pushes its events.  Tango's threads call the reads, writes and
// commands one at a time per device (its serialization by device); the
// BoardDevice's own threads call waveform() and inputs().
#pragma once

#include <tango.h>

#include <memory>
#include <string>

#include "board_device.h"

namespace kv318::tango_device {

// Every attribute the class defines, in the order attribute_factory makes them.
enum class AttrId {
    kClock,
    kDivider,
    kSampleRate,
    kMode,
    kWaveform,
    kFirstIndex,
    kWaveformLength,
    kEventRate,
    kSamplesMissed,
    kFifoLoss,
    kFifoStatus,
    kLongestGap,
    kDrains,
    kBytesDrained,
    kDI,
    kDO,
    kCounter,
    kPulseMode,
    kPulseDivisor,
    kIdentity1,
    kIdentity2,
    kController,
    kTriggerLevel,
    kTriggerEdge,
    kPretrigger,
    kCaptureTimeout,
    kRecordFile,
    kCount
};
inline constexpr std::size_t kAttrCount = static_cast<std::size_t>(AttrId::kCount);

class KV318Device : public Tango::Device_5Impl, private kv318::tango::DeviceEvents {
public:
    KV318Device(Tango::DeviceClass* cls, std::string name);
    ~KV318Device() override;

    void init_device() override;
    void delete_device() override;
    void always_executed_hook() override {}
    // One snapshot of the board serves every attribute of one read request,
    // so Waveform and FirstIndex read together always match.
    void read_attr_hardware(std::vector<long>& attrs) override;
    Tango::DevState dev_state() override;
    Tango::ConstDevString dev_status() override;

    void read_value(AttrId id, Tango::Attribute& att);
    void write_value(AttrId id, Tango::WAttribute& att);

    void start();
    void stop();
    void follow();
    std::string capture(Tango::DevLong samples);
    std::string record(const std::string& path);
    void stop_record();
    void counter_run();
    void pulse_run();
    void pulse_stop();

private:
    void waveform(const kv318::tango::Window& window) override;
    void inputs(std::int32_t value) override;
    std::string client_name();

    std::unique_ptr<kv318::tango::BoardDevice> board_;
    kv318::tango::Readings now_;
    kv318::tango::CaptureRequest capture_;
    std::int32_t pulseMode_ = 0;
    std::int32_t pulseDivisor_ = 2;
    // What the last read of each attribute handed to Tango, which keeps a
    // pointer to it until the reply has left.
    Tango::DevLong64 long64_[kAttrCount] = {};
    Tango::DevLong long_[kAttrCount] = {};
    Tango::DevDouble double_[kAttrCount] = {};
    Tango::DevShort enum_[kAttrCount] = {};
    Tango::DevBoolean bool_[kAttrCount] = {};
    std::string text_[kAttrCount];
    Tango::DevString textPtr_[kAttrCount] = {};
    std::string status_;
};

}  // namespace kv318::tango_device
