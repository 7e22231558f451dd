#include "platform/property.h"

namespace platform {

std::optional<int64_t> Property::AsInteger() const {
  if (const auto* v = std::get_if<int64_t>(&value_)) return *v;
  return std::nullopt;
}

std::optional<bool> Property::AsBoolean() const {
  if (const auto* v = std::get_if<bool>(&value_)) return *v;
  return std::nullopt;
}

std::optional<double> Property::AsReal() const {
  if (const auto* v = std::get_if<double>(&value_)) return *v;
  return std::nullopt;
}

const PropertyArray* Property::AsArray() const {
  if (const auto* v = std::get_if<ArrayPtr>(&value_)) return v->get();
  return nullptr;
}

const PropertyDictionary* Property::AsDictionary() const {
  if (const auto* v = std::get_if<DictPtr>(&value_)) return v->get();
  return nullptr;
}

const Property* Property::Find(std::string_view key) const {
  const PropertyDictionary* d = AsDictionary();
  if (d == nullptr) return nullptr;
  auto it = d->find(key);
  return it == d->end() ? nullptr : &it->second;
}

bool Property::operator==(const Property& other) const {
  if (type() != other.type()) return false;
  switch (type()) {
    case Type::kArray: return *AsArray() == *other.AsArray();
    case Type::kDictionary: return *AsDictionary() == *other.AsDictionary();
    default: return value_ == other.value_;
  }
}

}  // namespace platform
