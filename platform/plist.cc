#include "platform/plist.h"

#include <fcntl.h>
#include <plist/plist.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform {
namespace {

// Owns one libplist node tree.
struct NodeDeleter {
  void operator()(plist_t node) const { plist_free(node); }
};
using NodePtr = std::unique_ptr<void, NodeDeleter>;

constexpr int kMaxDepth = 64;  // deeper documents are refused rather than recursed into

std::optional<Property> FromNode(plist_t node, int depth) {
  if (node == nullptr || depth > kMaxDepth) return std::nullopt;
  switch (plist_get_node_type(node)) {
    case PLIST_STRING: {
      char* s = nullptr;
      plist_get_string_val(node, &s);
      Property p = Property::String(s ? s : "");
      free(s);
      return p;
    }
    case PLIST_DATA: {
      char* d = nullptr;
      uint64_t n = 0;
      plist_get_data_val(node, &d, &n);
      Property p = Property::Data(d, static_cast<size_t>(n));
      free(d);
      return p;
    }
    case PLIST_UINT: {
      uint64_t v = 0;
      plist_get_uint_val(node, &v);
      return Property::Integer(static_cast<int64_t>(v));
    }
    case PLIST_BOOLEAN: {
      uint8_t v = 0;
      plist_get_bool_val(node, &v);
      return Property::Boolean(v != 0);
    }
    case PLIST_REAL: {
      double v = 0;
      plist_get_real_val(node, &v);
      return Property::Real(v);
    }
    case PLIST_DATE: {
      int32_t sec = 0, usec = 0;
      plist_get_date_val(node, &sec, &usec);
      return Property::Real(sec + usec / 1e6);
    }
    case PLIST_ARRAY: {
      PropertyArray out;
      uint32_t n = plist_array_get_size(node);
      out.reserve(n);
      for (uint32_t i = 0; i < n; ++i) {
        auto item = FromNode(plist_array_get_item(node, i), depth + 1);
        if (!item) return std::nullopt;
        out.push_back(std::move(*item));
      }
      return Property::Array(std::move(out));
    }
    case PLIST_DICT: {
      PropertyDictionary out;
      plist_dict_iter it = nullptr;
      plist_dict_new_iter(node, &it);
      bool ok = true;
      for (;;) {
        char* key = nullptr;
        plist_t value = nullptr;
        plist_dict_next_item(node, it, &key, &value);
        if (value == nullptr) {
          free(key);
          break;
        }
        auto item = FromNode(value, depth + 1);
        if (!item) {
          free(key);
          ok = false;
          break;
        }
        out.insert_or_assign(std::string(key ? key : ""), std::move(*item));
        free(key);
      }
      free(it);
      if (!ok) return std::nullopt;
      return Property::Dictionary(std::move(out));
    }
    default:
      return std::nullopt;
  }
}

plist_t ToNode(const Property& p) {
  switch (p.type()) {
    case Property::Type::kString: return plist_new_string(p.AsString()->c_str());
    case Property::Type::kData: {
      const PropertyData& d = *p.AsData();
      return plist_new_data(reinterpret_cast<const char*>(d.data()), d.size());
    }
    case Property::Type::kInteger:
      return plist_new_uint(static_cast<uint64_t>(*p.AsInteger()));
    case Property::Type::kBoolean: return plist_new_bool(*p.AsBoolean() ? 1 : 0);
    case Property::Type::kReal: return plist_new_real(*p.AsReal());
    case Property::Type::kArray: {
      plist_t a = plist_new_array();
      for (const Property& item : *p.AsArray()) plist_array_append_item(a, ToNode(item));
      return a;
    }
    case Property::Type::kDictionary: {
      plist_t d = plist_new_dict();
      for (const auto& [key, value] : *p.AsDictionary()) {
        plist_dict_set_item(d, key.c_str(), ToNode(value));
      }
      return d;
    }
  }
  return plist_new_string("");
}

}  // namespace

std::optional<Property> ParseXmlPropertyList(std::string_view xml) {
  if (xml.empty() || xml.size() > 0x7FFFFFFF) return std::nullopt;
  plist_t root = nullptr;
  plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
  NodePtr owner(root);
  return FromNode(root, 0);
}

std::string ToXmlPropertyList(const Property& value) {
  NodePtr root(ToNode(value));
  char* xml = nullptr;
  uint32_t n = 0;
  plist_to_xml(root.get(), &xml, &n);
  std::string out(xml ? xml : "", xml ? n : 0);
  free(xml);
  return out;
}

std::optional<Property> ReadXmlPropertyListFile(const std::string& host_path) {
  std::ifstream in(host_path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream text;
  text << in.rdbuf();
  return ParseXmlPropertyList(text.str());
}

bool WriteXmlPropertyListFile(const std::string& host_path, const Property& value) {
  std::string xml = ToXmlPropertyList(value);
  std::string tmp = host_path + ".tmp";
  int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < xml.size()) {
    ssize_t n = ::write(fd, xml.data() + done, xml.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  bool ok = done == xml.size() && ::fsync(fd) == 0;
  ok = (::close(fd) == 0) && ok;
  if (!ok || ::rename(tmp.c_str(), host_path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

}  // namespace platform
