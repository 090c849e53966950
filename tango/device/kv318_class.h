// The Tango class KV318: its attributes, commands and properties, and the
// devices it makes, one per board.
#pragma once

#include <tango.h>

#include <string>
#include <vector>

namespace kv318::tango_device {

class KV318Class : public Tango::DeviceClass {
public:
    // The one instance, made by the server's class factory.
    static KV318Class* init(const char* className);
    static KV318Class* instance();

protected:
    explicit KV318Class(std::string& className);
    void command_factory() override;
    void attribute_factory(std::vector<Tango::Attr*>& attrs) override;
    void device_factory(const Tango::DevVarStringArray* devices) override;

private:
    static KV318Class* the_;
};

// The device properties with their defaults, as Jive and tango_admin show
// them: name, default value in words, and what it means.
struct PropertySpec {
    const char* name;
    const char* value;
    const char* description;
};
const std::vector<PropertySpec>& property_specs();

}  // namespace kv318::tango_device
