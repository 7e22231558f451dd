#pragma once
// A property-list value: what the registry, the machine description, the daemon's
// messages and the system's own bundles carry. Values are immutable once built and
// cheap to copy (arrays and dictionaries share their storage).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

class Property;
using PropertyArray = std::vector<Property>;
using PropertyDictionary = std::map<std::string, Property, std::less<>>;
using PropertyData = std::vector<uint8_t>;

class Property {
 public:
  enum class Type { kString, kData, kInteger, kBoolean, kReal, kArray, kDictionary };

  Property() : value_(std::string()) {}
  static Property String(std::string_view s) { return Property(std::string(s)); }
  static Property Data(PropertyData d) { return Property(std::move(d)); }
  static Property Data(const void* p, size_t n) {
    const auto* b = static_cast<const uint8_t*>(p);
    return Property(PropertyData(b, b + n));
  }
  static Property Integer(int64_t v) { return Property(v); }
  static Property Boolean(bool v) { return Property(v); }
  static Property Real(double v) { return Property(v); }
  static Property Array(PropertyArray a) {
    return Property(std::make_shared<const PropertyArray>(std::move(a)));
  }
  static Property Dictionary(PropertyDictionary d) {
    return Property(std::make_shared<const PropertyDictionary>(std::move(d)));
  }

  Type type() const { return static_cast<Type>(value_.index()); }
  bool is_string() const { return type() == Type::kString; }
  bool is_data() const { return type() == Type::kData; }
  bool is_integer() const { return type() == Type::kInteger; }
  bool is_boolean() const { return type() == Type::kBoolean; }
  bool is_real() const { return type() == Type::kReal; }
  bool is_array() const { return type() == Type::kArray; }
  bool is_dictionary() const { return type() == Type::kDictionary; }

  // Typed access; each returns nullptr / nullopt when the value has another type.
  const std::string* AsString() const { return std::get_if<std::string>(&value_); }
  const PropertyData* AsData() const { return std::get_if<PropertyData>(&value_); }
  std::optional<int64_t> AsInteger() const;
  std::optional<bool> AsBoolean() const;
  std::optional<double> AsReal() const;
  const PropertyArray* AsArray() const;
  const PropertyDictionary* AsDictionary() const;

  // Dictionary lookup; nullptr when this is not a dictionary or the key is absent.
  const Property* Find(std::string_view key) const;

  bool operator==(const Property& other) const;

 private:
  using ArrayPtr = std::shared_ptr<const PropertyArray>;
  using DictPtr = std::shared_ptr<const PropertyDictionary>;
  using Value = std::variant<std::string, PropertyData, int64_t, bool, double, ArrayPtr, DictPtr>;
  explicit Property(Value v) : value_(std::move(v)) {}
  Value value_;
};

}  // namespace platform
