#include "sim/machine/machine.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "platform/sim/machine_messages.h"
#include "platform/sim/machine_protocol.h"
#include "platform/sim/machine_wire.h"
#include "sim/apm/apm_reader.h"
#include "sim/fs/block_store.h"
#include "sim/machine/arbitrator.h"

namespace sim {
namespace {

namespace m = platform::machine;
namespace wire = platform::wire;
using platform::PropertyArray;
using platform::PropertyData;

constexpr int64_t kMaxTransfer = 8 << 20;
constexpr size_t kMaxFirmwareValue = 4096;
constexpr double kMaxHoldSeconds = 365.0 * 24 * 3600;

void Fail(Reply* reply, int error, std::string text) {
  reply->body[m::kStatus] = Property::Integer(error);
  reply->body[m::kError] = Property::String(std::move(text));
}

Property Id(const RegistryNode* node) { return Property::Integer(static_cast<int64_t>(node->id)); }

Property Ids(const std::vector<RegistryNode*>& nodes) {
  PropertyArray out;
  for (const RegistryNode* n : nodes) out.push_back(Id(n));
  return Property::Array(std::move(out));
}

// "/dev/rdisk2s3", "/dev/disk2s3" or "disk2s3" -> "disk2s3".
std::string BsdFromDevice(std::string_view device) {
  if (device.starts_with("/dev/r")) return std::string(device.substr(6));
  if (device.starts_with("/dev/")) return std::string(device.substr(5));
  return std::string(device);
}

std::string Text(const PropertyDictionary& d, std::string_view key) {
  const std::string* s = wire::GetString(d, key);
  return s != nullptr ? *s : std::string();
}

}  // namespace

Machine::Machine(std::string root, MachineEnv& env)
    : root_(std::move(root)), env_(env), arbitrator_(std::make_unique<Arbitrator>(*this)) {
  handlers_ = {
      {m::kRegistryMatch, &Machine::RegistryMatch},
      {m::kRegistryFromPath, &Machine::RegistryFromPath},
      {m::kRegistryProperty, &Machine::RegistryProperty},
      {m::kRegistrySearch, &Machine::RegistrySearch},
      {m::kRegistryProperties, &Machine::RegistryProperties},
      {m::kRegistryDescribe, &Machine::RegistryDescribe},
      {m::kRegistryChildren, &Machine::RegistryChildren},
      {m::kRegistryIterate, &Machine::RegistryIterate},
      {m::kRegistrySubscribe, &Machine::RegistrySubscribe},
      {m::kRegistryUnsubscribe, &Machine::RegistryUnsubscribe},
      {m::kRegistrySetProperty, &Machine::RegistrySetProperty},
      {m::kFirmwareGet, &Machine::FirmwareGet},
      {m::kFirmwareSet, &Machine::FirmwareSet},
      {m::kFirmwareDelete, &Machine::FirmwareDelete},
      {m::kFirmwareList, &Machine::FirmwareList},
      {m::kAuthIssue, &Machine::AuthIssue},
      {m::kAuthCheck, &Machine::AuthCheck},
      {m::kDeviceOpen, &Machine::DeviceOpen},
      {m::kDeviceCheck, &Machine::DeviceCheck},
      {m::kDeviceRead, &Machine::DeviceRead},
      {m::kDeviceWrite, &Machine::DeviceWrite},
      {m::kDeviceSync, &Machine::DeviceSync},
      {m::kDeviceClose, &Machine::DeviceClose},
      {m::kMachineStatus, &Machine::MachineStatus},
      {m::kMachineShutdown, &Machine::MachineShutdown},
      {m::kMachineAttach, &Machine::MachineAttach},
      {m::kMachineDetach, &Machine::MachineDetach},
      {m::kMachineBuses, &Machine::MachineBuses},
      {m::kMachineMedia, &Machine::MachineMedia},
      {m::kMachineVolumes, &Machine::MachineVolumes},
      {m::kMachineReprobe, &Machine::MachineReprobe},
      {m::kMachineResize, &Machine::MachineResize},
      {m::kFaultAdd, &Machine::FaultAdd},
      {m::kFaultList, &Machine::FaultList},
      {m::kFaultClear, &Machine::FaultClear},
  };
}

Machine::~Machine() {
  for (auto& [number, disk] : disks_) {
    if (disk->fd >= 0) ::close(disk->fd);
  }
}

// ---------------------------------------------------------------------------------
// Start and stop.

int Machine::Start(std::string* error) {
  auto description = LoadDescription(root_, error);
  if (!description) return EINVAL;
  description_ = std::move(*description);
  for (const auto& [name, super] : description_.classes) tree_.classes().Add(name, super);
  BuildStaticRegistry(description_.registry, nullptr, 0);
  PublishOptions();
  for (const auto& [id, bus] : description_.buses) {
    RegistryNode* node = tree_.FromPath(bus.path);
    if (node == nullptr) {
      *error = "bus " + id + " names " + bus.path + ", which is not in the registry";
      return EINVAL;
    }
    bus_nodes_[id] = node;
  }
  std::error_code ec;
  std::filesystem::create_directories(root_ + "/dev", ec);
  std::filesystem::create_directories(root_ + "/Volumes", ec);
  std::vector<DiskSpec> disks = description_.disks;
  description_.disks.clear();
  for (const DiskSpec& spec : disks) {
    std::string bsd, why;
    if (AttachDisk(spec, &bsd, &why) != 0) {
      // A disk that cannot be plugged in leaves the machine without it, as a dead
      // disk would; the description keeps it for the next start.
      std::fprintf(stderr, "machine: disk %s not attached: %s\n", spec.image.c_str(), why.c_str());
      description_.disks.push_back(spec);
    }
  }
  return 0;
}

void Machine::Stop() {
  arbitrator_->UnmountAll();
  for (auto& [bsd, medium] : media_) WriteDeviceEntries(*medium, false);
}

void Machine::BuildStaticRegistry(const Property& entry, RegistryNode* parent, int depth) {
  const PropertyDictionary& d = *entry.AsDictionary();  // checked by ParseDescription
  PropertyDictionary properties;
  for (const auto& [key, value] : d) {
    if (key == "IORegistryEntryName" || key == "IORegistryEntryLocation" ||
        key == "IOObjectClass" || key == "IORegistryEntryChildren" || key == "IODeviceTree") {
      continue;
    }
    properties[key] = value;
  }
  RegistryNode* node = nullptr;
  if (parent == nullptr) {
    node = tree_.root();
    node->name = Text(d, "IORegistryEntryName");
    node->class_name = Text(d, "IOObjectClass");
    node->properties = std::move(properties);
  } else {
    bool device_tree = wire::GetBoolean(d, "IODeviceTree").value_or(false);
    node = tree_.Add(parent, Text(d, "IORegistryEntryName"), Text(d, "IORegistryEntryLocation"),
                     Text(d, "IOObjectClass"), std::move(properties), device_tree);
  }
  if (const PropertyArray* children = wire::GetArray(d, "IORegistryEntryChildren")) {
    for (const Property& child : *children) BuildStaticRegistry(child, node, depth + 1);
  }
}

void Machine::PublishOptions() {
  PropertyDictionary properties;
  for (const auto& [name, value] : description_.firmware) properties[name] = Property::String(value);
  options_ = tree_.AddDeviceTreeOnly(tree_.root(), "options", "IODTNVRAM", std::move(properties));
}

std::vector<std::string> Machine::ImagePaths() const {
  std::vector<std::string> out;
  for (const auto& [number, disk] : disks_) out.push_back(disk->image);
  return out;
}

// ---------------------------------------------------------------------------------
// Registry notifications.

void Machine::NotifyFirstMatch(const std::vector<RegistryNode*>& published) {
  // Media whose notification a hold keeps back, with the hold's id.
  std::map<const RegistryNode*, int64_t> holds;
  if (!faults_.empty()) {
    for (const RegistryNode* n : published) {
      auto bsd = n->properties.find("BSD Name");
      if (n->class_name != "IOMedia" || bsd == n->properties.end() || bsd->second.AsString() == nullptr) {
        continue;
      }
      if (int64_t hold = faults_.HoldOf(*bsd->second.AsString())) holds[n] = hold;
    }
  }
  std::set<const RegistryNode*> held_back;
  for (const auto& [id, sub] : subscriptions_) {
    if (!sub.first_match) continue;
    std::vector<RegistryNode*> hits;
    std::vector<std::pair<int64_t, std::vector<uint64_t>>> held;  // by hold, in order
    for (RegistryNode* n : published) {
      if (!tree_.Matches(*n, sub.matching)) continue;
      auto hold = holds.find(n);
      if (hold == holds.end()) {
        hits.push_back(n);
        continue;
      }
      held_back.insert(n);
      auto group = std::find_if(held.begin(), held.end(),
                                [&](const auto& g) { return g.first == hold->second; });
      if (group == held.end()) group = held.emplace(held.end(), hold->second, std::vector<uint64_t>{});
      group->second.push_back(n->id);
    }
    if (!hits.empty()) {
      env_.Send(sub.client, {{m::kEvent, Property::String(m::kRegistryNotifyEvent)},
                             {"sub", Property::Integer(static_cast<int64_t>(id))},
                             {"entries", Ids(hits)}});
    }
    for (auto& [hold, entries] : held) Hold(hold, id, std::move(entries));
  }
  for (const RegistryNode* n : held_back) faults_.Fired(holds[n]);
}

// ---------------------------------------------------------------------------------
// Disks and media.

std::string Machine::ImageHostPath(const std::string& spec) const {
  return !spec.empty() && spec.front() == '/' ? spec : root_ + "/" + spec;
}

int Machine::NextDiskNumber() const {
  int n = 0;
  while (disks_.count(n) != 0) ++n;
  return n;
}

Disk* Machine::FindDiskByImage(const std::string& host_path) {
  std::error_code ec;
  for (auto& [number, disk] : disks_) {
    if (disk->image == host_path || std::filesystem::equivalent(disk->image, host_path, ec)) {
      return disk.get();
    }
  }
  return nullptr;
}

Medium* Machine::FindMedium(const std::string& bsd) {
  auto it = media_.find(bsd);
  return it == media_.end() ? nullptr : it->second;
}

std::vector<Medium*> Machine::AllMedia() {
  std::vector<Medium*> out;
  for (auto& [number, disk] : disks_) {
    for (auto& [index, medium] : disk->media) out.push_back(medium.get());
  }
  return out;
}

void Machine::BumpGeneration() {
  ++generation_;
  if (generation_page_ != nullptr) __atomic_store_n(generation_page_, generation_, __ATOMIC_RELEASE);
}

void Machine::SaveDisks() {
  if (!SaveDescription(root_, description_)) {
    std::fprintf(stderr, "machine: cannot save %s\n", m::DescriptionPath(root_).c_str());
  }
}

void Machine::WriteDeviceEntries(const Medium& medium, bool present) {
  for (const std::string& name : {"/dev/" + medium.bsd, "/dev/r" + medium.bsd}) {
    std::string path = root_ + name;
    if (present) {
      int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0640);
      if (fd >= 0) ::close(fd);
    } else {
      ::unlink(path.c_str());
    }
  }
}

int Machine::AttachDisk(const DiskSpec& spec, std::string* bsd, std::string* error) {
  auto bus_it = bus_nodes_.find(spec.bus);
  auto kind_it = description_.buses.find(spec.bus);
  if (bus_it == bus_nodes_.end() || kind_it == description_.buses.end()) {
    *error = "no bus " + spec.bus;
    return ENOENT;
  }
  if (spec.unit < 0 || spec.unit > 127) {
    *error = "unit out of range";
    return EINVAL;
  }
  for (auto& [number, disk] : disks_) {
    if (disk->bus == spec.bus && disk->unit == spec.unit) {
      *error = "unit " + std::to_string(spec.unit) + " of " + spec.bus + " is taken by disk" +
               std::to_string(number);
      return EBUSY;
    }
  }
  std::string image = ImageHostPath(spec.image);
  if (FindDiskByImage(image) != nullptr) {
    *error = image + " is attached already";
    return EBUSY;
  }
  int fd = ::open(image.c_str(), O_RDWR | O_CLOEXEC);
  struct stat st{};
  if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 1024) {
    int e = fd < 0 ? errno : EINVAL;
    if (fd >= 0) ::close(fd);
    *error = "cannot use " + image + " as a disk image";
    return e;
  }
  auto disk = std::make_unique<Disk>();
  disk->number = NextDiskNumber();
  disk->image_spec = spec.image;
  disk->image = image;
  disk->fd = fd;
  disk->bus = spec.bus;
  disk->unit = spec.unit;
  disk->properties = spec.properties;
  disk->size = st.st_size / 512 * 512;
  disk->nodes = BuildDisk(tree_, bus_it->second, kind_it->second.kind, spec.unit, spec.properties);
  Disk* raw = disk.get();
  disks_[raw->number] = std::move(disk);
  PublishWholeMedium(raw);
  ProbePartitions(raw, false);
  for (auto& [index, medium] : raw->media) {
    FileRegion region(raw->fd, static_cast<uint64_t>(medium->offset), static_cast<uint64_t>(medium->size));
    medium->volume = ProbeVolume(region);
  }
  NotifyFirstMatch(tree_.LiveEntries(raw->nodes.top));
  for (auto& [index, medium] : raw->media) arbitrator_->Appeared(*medium);
  arbitrator_->AppearedBatchDone();
  description_.disks.push_back(spec);
  *bsd = "disk" + std::to_string(raw->number);
  return 0;
}

void Machine::PublishWholeMedium(Disk* disk) {
  auto medium = std::make_unique<Medium>();
  medium->bsd = "disk" + std::to_string(disk->number);
  medium->disk = disk;
  medium->size = disk->size;
  PropertyDictionary props = disk->nodes.media_properties;
  props["BSD Name"] = Property::String(medium->bsd);
  props["BSD Unit"] = Property::Integer(disk->number);
  props["BSD Major"] = Property::Integer(14);
  props["BSD Minor"] = Property::Integer(disk->number * 32);
  props["Size"] = Property::Integer(disk->size);
  props["Whole"] = Property::Boolean(true);
  props["Leaf"] = Property::Boolean(true);
  props["Content"] = Property::String("");
  props["Content Hint"] = Property::String("");
  medium->node = tree_.Add(disk->nodes.media_parent, disk->nodes.media_name, "", "IOMedia",
                           std::move(props), false);
  tree_.AttachToDeviceTree(medium->node, disk->nodes.tree_parent, '/', disk->nodes.tree_component);
  media_[medium->bsd] = medium.get();
  WriteDeviceEntries(*medium, true);
  disk->media[0] = std::move(medium);
}

void Machine::ProbePartitions(Disk* disk, bool notify) {
  Medium* whole = disk->media[0].get();
  int fd = disk->fd;
  ApmMap map = ReadApplePartitionMap(
      [fd](uint64_t offset, void* buffer, size_t length) {
        FileRegion region(fd, 0, UINT64_MAX / 2);
        return region.Read(offset, buffer, length);
      },
      static_cast<uint64_t>(disk->size));

  // What the map says should be published, by entry index.
  std::map<int, const ApmEntry*> wanted;
  for (const ApmEntry& e : map.entries) {
    if (!e.fits || e.block_count == 0 || e.type == "Apple_Free") continue;
    wanted[e.index] = &e;
  }
  auto same = [&](const Medium& medium, const ApmEntry& e) {
    return medium.offset == static_cast<int64_t>(e.start_block * map.block_size) &&
           medium.size == static_cast<int64_t>(e.block_count * map.block_size) &&
           medium.content == e.type && medium.partition_name == e.name;
  };

  // Partitions that changed or went.
  std::vector<Medium*> gone;
  for (auto& [index, medium] : disk->media) {
    if (index == 0) continue;
    auto it = wanted.find(index);
    if (it == wanted.end() || !same(*medium, *it->second)) gone.push_back(medium.get());
  }
  std::vector<RegistryNode*> terminated;
  for (Medium* medium : gone) {
    arbitrator_->Disappearing(*medium);
    RemoveMedium(medium, &terminated);
  }
  if (!map.present && disk->scheme != nullptr) {
    auto more = tree_.Terminate(disk->scheme);
    terminated.insert(terminated.end(), more.begin(), more.end());
    disk->scheme = nullptr;
  }
  if (!terminated.empty()) {
    NotifyTerminate(terminated);
    BumpGeneration();
  }

  bool has_map = map.present;
  whole->content = has_map ? "Apple_partition_scheme" : "";
  whole->node->properties["Content"] = Property::String(whole->content);
  whole->node->properties["Content Hint"] = Property::String(whole->content);
  whole->node->properties["Leaf"] = Property::Boolean(!has_map);
  if (!has_map) return;

  std::vector<RegistryNode*> published;
  if (disk->scheme == nullptr) {
    disk->scheme = tree_.Add(whole->node, "IOApplePartitionScheme", "", "IOApplePartitionScheme",
                             {{"Content Mask", Property::String("Apple_partition_scheme")}}, false);
    published.push_back(disk->scheme);
  }
  std::vector<Medium*> fresh;
  for (const auto& [index, entry] : wanted) {
    if (disk->media.count(index) != 0) continue;
    auto medium = std::make_unique<Medium>();
    medium->bsd = whole->bsd + "s" + std::to_string(index);
    medium->disk = disk;
    medium->partition = index;
    medium->offset = static_cast<int64_t>(entry->start_block * map.block_size);
    medium->size = static_cast<int64_t>(entry->block_count * map.block_size);
    medium->content = entry->type;
    medium->partition_name = entry->name;
    PropertyDictionary props = disk->nodes.media_properties;
    props["BSD Name"] = Property::String(medium->bsd);
    props["BSD Unit"] = Property::Integer(disk->number);
    props["BSD Major"] = Property::Integer(14);
    props["BSD Minor"] = Property::Integer(disk->number * 32 + index);
    props["Size"] = Property::Integer(medium->size);
    props["Base"] = Property::Integer(medium->offset);
    props["Whole"] = Property::Boolean(false);
    props["Leaf"] = Property::Boolean(true);
    props["Content"] = Property::String(entry->type);
    props["Content Hint"] = Property::String(entry->type);
    props["Partition ID"] = Property::Integer(index);
    std::string name = entry->name.empty() ? "Untitled " + std::to_string(index) : entry->name;
    medium->node = tree_.Add(disk->scheme, name, std::to_string(index), "IOMedia",
                             std::move(props), false);
    tree_.AttachToDeviceTree(medium->node, whole->node, ':', std::to_string(index));
    published.push_back(medium->node);
    media_[medium->bsd] = medium.get();
    WriteDeviceEntries(*medium, true);
    fresh.push_back(medium.get());
    disk->media[index] = std::move(medium);
  }
  if (!notify) return;
  for (Medium* medium : fresh) {
    FileRegion region(disk->fd, static_cast<uint64_t>(medium->offset), static_cast<uint64_t>(medium->size));
    medium->volume = ProbeVolume(region);
  }
  NotifyFirstMatch(published);
  for (Medium* medium : fresh) arbitrator_->Appeared(*medium);
  if (!fresh.empty()) arbitrator_->AppearedBatchDone();
}

void Machine::RemoveMedium(Medium* medium, std::vector<RegistryNode*>* terminated) {
  for (auto& [handle, device] : devices_) {
    if (device.medium == medium) device.medium = nullptr;
  }
  WriteDeviceEntries(*medium, false);
  auto more = tree_.Terminate(medium->node);
  terminated->insert(terminated->end(), more.begin(), more.end());
  media_.erase(medium->bsd);
  medium->disk->media.erase(medium->partition);  // frees it
}

void Machine::Reprobe(Disk* disk) {
  std::map<int, VolumeInfo> before;
  for (auto& [index, medium] : disk->media) before[index] = medium->volume;
  ProbePartitions(disk, true);
  for (auto& [index, medium] : disk->media) {
    auto it = before.find(index);
    if (it == before.end()) continue;  // new: probed and announced already
    FileRegion region(disk->fd, static_cast<uint64_t>(medium->offset), static_cast<uint64_t>(medium->size));
    VolumeInfo now = ProbeVolume(region);
    if (now == it->second) continue;
    medium->volume = now;
    arbitrator_->VolumeChanged(*medium, it->second);
  }
}

void Machine::ImageChanged(const std::string& host_path) {
  if (Disk* disk = FindDiskByImage(host_path)) Reprobe(disk);
}

int Machine::DetachDisk(Disk* disk) {
  std::string whole = disk->media[0]->bsd;
  // Partitions first, then the whole disk, each taken down before it goes.
  std::vector<Medium*> order;
  for (auto it = disk->media.rbegin(); it != disk->media.rend(); ++it) order.push_back(it->second.get());
  for (Medium* medium : order) arbitrator_->Disappearing(*medium);
  std::vector<RegistryNode*> subtree = tree_.LiveEntries(disk->nodes.top);
  for (Medium* medium : order) {
    for (auto& [handle, device] : devices_) {
      if (device.medium == medium) device.medium = nullptr;
    }
    WriteDeviceEntries(*medium, false);
    media_.erase(medium->bsd);
  }
  std::vector<RegistryNode*> terminated = tree_.Terminate(disk->nodes.top);
  NotifyTerminate(terminated);
  arbitrator_->Ejected(whole);
  BumpGeneration();
  auto spec = std::find_if(description_.disks.begin(), description_.disks.end(),
                           [&](const DiskSpec& s) { return ImageHostPath(s.image) == disk->image; });
  if (spec != description_.disks.end()) description_.disks.erase(spec);
  ::close(disk->fd);
  disks_.erase(disk->number);
  return 0;
}

// ---------------------------------------------------------------------------------
// Requests.

void Machine::Handle(uint64_t client, const PropertyDictionary& request, Reply* reply) {
  reply->body.clear();
  if (auto seq = wire::GetInteger(request, m::kSeq)) reply->body[m::kSeq] = Property::Integer(*seq);
  reply->body[m::kStatus] = Property::Integer(0);
  const std::string* op = wire::GetString(request, m::kOp);
  if (op == nullptr) {
    Fail(reply, EINVAL, "the request names no operation");
    return;
  }
  if (op->starts_with("da.")) {
    if (!arbitrator_->Handle(client, *op, request, reply)) {
      Fail(reply, EOPNOTSUPP, "unknown request " + *op);
    }
    return;
  }
  auto it = handlers_.find(*op);
  if (it == handlers_.end()) {
    Fail(reply, EOPNOTSUPP, "unknown request " + *op);
    return;
  }
  (this->*(it->second))(client, request, reply);
}

void Machine::DropClient(uint64_t client) {
  std::erase_if(subscriptions_, [client](const auto& s) { return s.second.client == client; });
  ForgetOrphanedHeld();
  std::set<Disk*> written;
  for (auto it = devices_.begin(); it != devices_.end();) {
    if (it->second.client == client) {
      if (it->second.written && it->second.medium != nullptr) written.insert(it->second.medium->disk);
      it = devices_.erase(it);
    } else {
      ++it;
    }
  }
  arbitrator_->DropClient(client);
  for (Disk* disk : written) Reprobe(disk);
}

RegistryNode* Machine::EntryArgument(const PropertyDictionary& request, Reply* reply) {
  auto id = wire::GetInteger(request, "entry");
  RegistryNode* node = id ? tree_.Find(static_cast<uint64_t>(*id)) : nullptr;
  if (node == nullptr) Fail(reply, ENOENT, "no such registry entry");
  return node;
}

void Machine::RegistryMatch(uint64_t, const PropertyDictionary& request, Reply* reply) {
  auto it = request.find("matching");
  auto matching = it != request.end() ? m::DecodeMatching(it->second) : std::nullopt;
  if (!matching) return Fail(reply, EINVAL, "a matching dictionary is needed");
  bool first = wire::GetBoolean(request, "first").value_or(false);
  reply->body["entries"] = Ids(tree_.Match(*matching, first));
}

void Machine::RegistryFromPath(uint64_t, const PropertyDictionary& request, Reply* reply) {
  RegistryNode* node = tree_.FromPath(Text(request, "path"));
  if (node == nullptr) return Fail(reply, ENOENT, "no entry at that path");
  reply->body["entry"] = Id(node);
}

void Machine::RegistryProperty(uint64_t, const PropertyDictionary& request, Reply* reply) {
  RegistryNode* node = EntryArgument(request, reply);
  if (node == nullptr) return;
  auto it = node->properties.find(Text(request, "key"));
  if (it != node->properties.end()) reply->body["value"] = it->second;
}

void Machine::RegistrySearch(uint64_t, const PropertyDictionary& request, Reply* reply) {
  RegistryNode* node = EntryArgument(request, reply);
  if (node == nullptr) return;
  auto plane = m::ParsePlane(Text(request, "plane"));
  if (!plane) return Fail(reply, EINVAL, "unknown plane");
  auto options = wire::GetInteger(request, "options").value_or(0);
  if (const Property* value =
          tree_.Search(*node, Text(request, "key"), *plane, static_cast<uint32_t>(options))) {
    reply->body["value"] = *value;
  }
}

void Machine::RegistryProperties(uint64_t, const PropertyDictionary& request, Reply* reply) {
  RegistryNode* node = EntryArgument(request, reply);
  if (node == nullptr) return;
  reply->body["properties"] = Property::Dictionary(node->properties);
}

void Machine::RegistryDescribe(uint64_t, const PropertyDictionary& request, Reply* reply) {
  RegistryNode* node = EntryArgument(request, reply);
  if (node == nullptr) return;
  auto plane = m::ParsePlane(Text(request, "plane"));
  if (!plane) return Fail(reply, EINVAL, "unknown plane");
  reply->body["name"] = Property::String(node->name);
  reply->body["class"] = Property::String(node->class_name);
  reply->body["terminated"] = Property::Boolean(node->terminated);
  if (auto path = tree_.Path(*node, *plane)) reply->body["path"] = Property::String(*path);
  if (RegistryNode* parent = tree_.Parent(*node, *plane)) reply->body["parent"] = Id(parent);
}

void Machine::RegistryChildren(uint64_t, const PropertyDictionary& request, Reply* reply) {
  RegistryNode* node = EntryArgument(request, reply);
  if (node == nullptr) return;
  auto plane = m::ParsePlane(Text(request, "plane"));
  if (!plane) return Fail(reply, EINVAL, "unknown plane");
  reply->body["entries"] = Ids(tree_.Children(*node, *plane));
}

void Machine::RegistryIterate(uint64_t, const PropertyDictionary& request, Reply* reply) {
  auto plane = m::ParsePlane(Text(request, "plane"));
  if (!plane) return Fail(reply, EINVAL, "unknown plane");
  auto options = wire::GetInteger(request, "options").value_or(0);
  reply->body["entries"] = Ids(tree_.Iterate(*plane, static_cast<uint32_t>(options)));
}

void Machine::RegistrySubscribe(uint64_t client, const PropertyDictionary& request, Reply* reply) {
  auto it = request.find("matching");
  auto matching = it != request.end() ? m::DecodeMatching(it->second) : std::nullopt;
  std::string kind = Text(request, "kind");
  if (!matching || (kind != "first-match" && kind != "terminate")) {
    return Fail(reply, EINVAL, "a kind and a matching dictionary are needed");
  }
  size_t mine = 0;
  for (const auto& [id, sub] : subscriptions_) mine += sub.client == client ? 1 : 0;
  if (mine >= 1024) return Fail(reply, ENOSPC, "too many notifications on this connection");
  uint64_t id = next_subscription_++;
  subscriptions_[id] = Subscription{client, kind == "first-match", *matching};
  reply->body["sub"] = Property::Integer(static_cast<int64_t>(id));
  reply->body["entries"] = Ids(kind == "first-match" ? tree_.Match(*matching, false)
                                                     : std::vector<RegistryNode*>());
}

void Machine::RegistryUnsubscribe(uint64_t client, const PropertyDictionary& request, Reply*) {
  auto id = wire::GetInteger(request, "sub");
  auto it = id ? subscriptions_.find(static_cast<uint64_t>(*id)) : subscriptions_.end();
  if (it != subscriptions_.end() && it->second.client == client) {
    subscriptions_.erase(it);
    ForgetOrphanedHeld();
  }
}

void Machine::RegistrySetProperty(uint64_t, const PropertyDictionary& request, Reply* reply) {
  RegistryNode* node = nullptr;
  if (const std::string* bsd = wire::GetString(request, "bsd")) {
    Medium* medium = FindMedium(BsdFromDevice(*bsd));
    node = medium != nullptr ? medium->node : nullptr;
  } else if (const std::string* path = wire::GetString(request, "path")) {
    node = tree_.FromPath(*path);
  } else if (auto id = wire::GetInteger(request, "entry")) {
    node = tree_.Find(static_cast<uint64_t>(*id));
  }
  if (node == nullptr || node->terminated) return Fail(reply, ENOENT, "no such entry");
  std::string key = Text(request, "key");
  if (key.empty()) return Fail(reply, EINVAL, "a key is needed");
  auto value = request.find("value");
  if (value == request.end()) {
    node->properties.erase(key);
  } else {
    node->properties[key] = value->second;
  }
}

void Machine::FirmwareGet(uint64_t, const PropertyDictionary& request, Reply* reply) {
  auto it = description_.firmware.find(Text(request, "name"));
  if (it == description_.firmware.end()) return Fail(reply, ENOENT, "no such variable");
  reply->body["value"] = Property::String(it->second);
}

void Machine::FirmwareSet(uint64_t, const PropertyDictionary& request, Reply* reply) {
  std::string name = Text(request, "name");
  const std::string* value = wire::GetString(request, "value");
  if (name.empty() || name.size() > 63 || name.find('=') != std::string::npos || value == nullptr ||
      value->size() > kMaxFirmwareValue) {
    return Fail(reply, EINVAL, "the firmware cannot hold that variable");
  }
  description_.firmware[name] = *value;
  options_->properties[name] = Property::String(*value);
  SaveDisks();
}

void Machine::FirmwareDelete(uint64_t, const PropertyDictionary& request, Reply* reply) {
  std::string name = Text(request, "name");
  if (description_.firmware.erase(name) == 0) return Fail(reply, ENOENT, "no such variable");
  options_->properties.erase(name);
  SaveDisks();
}

void Machine::FirmwareList(uint64_t, const PropertyDictionary&, Reply* reply) {
  PropertyDictionary variables;
  for (const auto& [name, value] : description_.firmware) variables[name] = Property::String(value);
  reply->body["variables"] = Property::Dictionary(std::move(variables));
}

void Machine::AuthIssue(uint64_t, const PropertyDictionary& request, Reply* reply) {
  std::set<std::string> rights;
  if (const PropertyArray* given = wire::GetArray(request, "rights")) {
    for (const Property& r : *given) {
      if (const std::string* s = r.AsString()) rights.insert(*s);
    }
  }
  uint8_t form[32];
  size_t got = 0;
  while (got < sizeof form) {
    ssize_t n = ::getrandom(form + got, sizeof form - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Fail(reply, EIO, "no random bytes");
    got += static_cast<size_t>(n);
  }
  if (authorizations_.size() >= 65536) authorizations_.erase(authorizations_.begin());
  authorizations_[std::string(reinterpret_cast<char*>(form), sizeof form)] = std::move(rights);
  reply->body["form"] = Property::Data(form, sizeof form);
}

void Machine::AuthCheck(uint64_t, const PropertyDictionary& request, Reply* reply) {
  const PropertyData* form = wire::GetData(request, "form");
  bool known = false;
  bool holds = false;
  if (form != nullptr && form->size() == 32) {
    auto it = authorizations_.find(std::string(form->begin(), form->end()));
    if (it != authorizations_.end()) {
      known = true;
      holds = it->second.count(Text(request, "right")) != 0;
    }
  }
  reply->body["known"] = Property::Boolean(known);
  reply->body["holds"] = Property::Boolean(holds);
}

// ---------------------------------------------------------------------------------
// Raw devices.

bool Machine::DeviceNeedsDaemon(const OpenDevice& device) {
  const Medium* medium = device.medium;
  return medium != nullptr && faults_.Covers(medium->disk->number, medium->offset,
                                             medium->offset + medium->size);
}

void Machine::DescribeDevice(const OpenDevice& device, Reply* reply) {
  reply->body["mode"] = Property::String(DeviceNeedsDaemon(device) ? m::kModeDaemon : m::kModeDirect);
  reply->body["offset"] = Property::Integer(device.medium->offset);
  reply->body["size"] = Property::Integer(device.medium->size);
  reply->body["generation"] = Property::Integer(static_cast<int64_t>(generation_));
}

Machine::OpenDevice* Machine::DeviceArgument(uint64_t client, const PropertyDictionary& request,
                                             Reply* reply) {
  auto handle = wire::GetInteger(request, "handle");
  auto it = handle ? devices_.find(*handle) : devices_.end();
  if (it == devices_.end() || it->second.client != client) {
    Fail(reply, EBADF, "no such open device");
    return nullptr;
  }
  return &it->second;
}

void Machine::DeviceOpen(uint64_t client, const PropertyDictionary& request, Reply* reply) {
  std::string path = Text(request, "path");
  if (!path.starts_with("/dev/")) return Fail(reply, ENOENT, "not a device path");
  Medium* medium = FindMedium(BsdFromDevice(path));
  if (medium == nullptr) return Fail(reply, ENOENT, "no such device");
  bool writable = wire::GetBoolean(request, "writable").value_or(false);
  auto it = medium->node->properties.find("Writable");
  if (writable && it != medium->node->properties.end() && it->second.AsBoolean() == false) {
    return Fail(reply, EROFS, "the medium is read-only");
  }
  size_t mine = 0;
  for (const auto& [h, d] : devices_) mine += d.client == client ? 1 : 0;
  if (mine >= 1024) return Fail(reply, EMFILE, "too many open devices");
  int fd = ::open(medium->disk->image.c_str(), (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
  if (fd < 0) return Fail(reply, errno, "cannot open the disk image");
  int64_t handle = next_device_++;
  devices_[handle] = OpenDevice{client, medium->bsd, medium, writable};
  reply->body["handle"] = Property::Integer(handle);
  DescribeDevice(devices_[handle], reply);
  reply->fd = fd;
}

void Machine::DeviceCheck(uint64_t client, const PropertyDictionary& request, Reply* reply) {
  OpenDevice* device = DeviceArgument(client, request, reply);
  if (device == nullptr) return;
  if (device->medium == nullptr) return Fail(reply, ENXIO, "the medium went away");
  DescribeDevice(*device, reply);
}

void Machine::DeviceRead(uint64_t client, const PropertyDictionary& request, Reply* reply) {
  OpenDevice* device = DeviceArgument(client, request, reply);
  if (device == nullptr) return;
  if (device->medium == nullptr) return Fail(reply, ENXIO, "the medium went away");
  auto offset = wire::GetInteger(request, "offset");
  auto length = wire::GetInteger(request, "length");
  if (!offset || !length || *offset < 0 || *length < 0 || *length > kMaxTransfer) {
    return Fail(reply, EINVAL, "bad offset or length");
  }
  const Medium& medium = *device->medium;
  int64_t n = *offset >= medium.size ? 0 : std::min(*length, medium.size - *offset);
  if (faults_.OnRead(medium.disk->number, medium.offset + *offset, n).fail) {
    return Fail(reply, EIO, "injected read error");
  }
  std::vector<uint8_t> data(static_cast<size_t>(n));
  FileRegion region(medium.disk->fd, static_cast<uint64_t>(medium.offset), static_cast<uint64_t>(medium.size));
  if (n > 0 && !region.Read(static_cast<uint64_t>(*offset), data.data(), data.size())) {
    return Fail(reply, EIO, "cannot read the disk image");
  }
  reply->body["data"] = Property::Data(std::move(data));
}

void Machine::DeviceWrite(uint64_t client, const PropertyDictionary& request, Reply* reply) {
  OpenDevice* device = DeviceArgument(client, request, reply);
  if (device == nullptr) return;
  if (!device->writable) return Fail(reply, EBADF, "the device is open read-only");
  if (device->medium == nullptr) return Fail(reply, ENXIO, "the medium went away");
  auto offset = wire::GetInteger(request, "offset");
  const PropertyData* data = wire::GetData(request, "data");
  if (!offset || data == nullptr || *offset < 0 || static_cast<int64_t>(data->size()) > kMaxTransfer) {
    return Fail(reply, EINVAL, "bad offset or data");
  }
  const Medium& medium = *device->medium;
  if (*offset >= medium.size && !data->empty()) return Fail(reply, ENOSPC, "past the end of the device");
  int64_t n = std::min<int64_t>(static_cast<int64_t>(data->size()), medium.size - *offset);
  device->written = true;
  FaultOutcome outcome = faults_.OnWrite(medium.disk->number, medium.offset + *offset, n);
  FileRegion region(medium.disk->fd, static_cast<uint64_t>(medium.offset), static_cast<uint64_t>(medium.size));
  int64_t land = outcome.land_bytes >= 0 ? outcome.land_bytes : (outcome.fail ? 0 : n);
  if (land > 0 && !region.Write(static_cast<uint64_t>(*offset), data->data(), static_cast<size_t>(land))) {
    return Fail(reply, EIO, "cannot write the disk image");
  }
  if (outcome.fail) return Fail(reply, EIO, "injected write error");
  reply->body["count"] = Property::Integer(n);
}

void Machine::DeviceSync(uint64_t client, const PropertyDictionary& request, Reply* reply) {
  OpenDevice* device = DeviceArgument(client, request, reply);
  if (device == nullptr) return;
  if (device->medium == nullptr) return Fail(reply, ENXIO, "the medium went away");
  if (wire::GetBoolean(request, "written").value_or(false) || device->written) {
    device->written = false;
    Reprobe(device->medium->disk);
  }
}

void Machine::DeviceClose(uint64_t client, const PropertyDictionary& request, Reply* reply) {
  OpenDevice* device = DeviceArgument(client, request, reply);
  if (device == nullptr) return;
  bool written = wire::GetBoolean(request, "written").value_or(false) || device->written;
  Disk* disk = device->medium != nullptr ? device->medium->disk : nullptr;
  devices_.erase(*wire::GetInteger(request, "handle"));
  if (written && disk != nullptr) Reprobe(disk);
}

// ---------------------------------------------------------------------------------
// Control.

void Machine::MachineStatus(uint64_t, const PropertyDictionary&, Reply* reply) {
  reply->body["pid"] = Property::Integer(::getpid());
  reply->body["root"] = Property::String(root_);
  reply->body["disks"] = Property::Integer(static_cast<int64_t>(disks_.size()));
  reply->body["media"] = Property::Integer(static_cast<int64_t>(media_.size()));
  reply->body["time"] = Property::Real(env_.Now());
}

void Machine::MachineShutdown(uint64_t, const PropertyDictionary&, Reply*) { env_.RequestShutdown(); }

void Machine::MachineAttach(uint64_t, const PropertyDictionary& request, Reply* reply) {
  DiskSpec spec;
  spec.image = Text(request, "image");
  spec.bus = Text(request, "bus");
  if (spec.image.empty() || spec.bus.empty()) return Fail(reply, EINVAL, "an image and a bus are needed");
  if (const PropertyDictionary* properties = wire::GetDictionary(request, "properties")) {
    spec.properties = *properties;
  }
  if (auto unit = wire::GetInteger(request, "unit")) {
    spec.unit = *unit;
  } else {
    // The lowest free position on the bus.
    std::set<int64_t> taken;
    for (auto& [number, disk] : disks_) {
      if (disk->bus == spec.bus) taken.insert(disk->unit);
    }
    while (taken.count(spec.unit) != 0) ++spec.unit;
  }
  std::string bsd, error;
  if (int e = AttachDisk(spec, &bsd, &error); e != 0) return Fail(reply, e, error);
  SaveDisks();
  reply->body["bsd"] = Property::String(bsd);
}

void Machine::MachineDetach(uint64_t, const PropertyDictionary& request, Reply* reply) {
  Disk* disk = nullptr;
  if (const std::string* bsd = wire::GetString(request, "bsd")) {
    Medium* medium = FindMedium(BsdFromDevice(*bsd));
    if (medium != nullptr && medium->whole()) disk = medium->disk;
  } else if (const std::string* image = wire::GetString(request, "image")) {
    disk = FindDiskByImage(ImageHostPath(*image));
  }
  if (disk == nullptr) return Fail(reply, ENOENT, "no such disk");
  DetachDisk(disk);
  SaveDisks();
}

void Machine::MachineBuses(uint64_t, const PropertyDictionary&, Reply* reply) {
  PropertyArray out;
  for (const auto& [id, bus] : description_.buses) {
    PropertyArray disks;
    for (auto& [number, disk] : disks_) {
      if (disk->bus != id) continue;
      disks.push_back(Property::Dictionary({{"bsd", Property::String("disk" + std::to_string(number))},
                                            {"unit", Property::Integer(disk->unit)},
                                            {"image", Property::String(disk->image)}}));
    }
    out.push_back(Property::Dictionary({{"id", Property::String(id)},
                                        {"kind", Property::String(bus.kind)},
                                        {"path", Property::String(bus.path)},
                                        {"disks", Property::Array(std::move(disks))}}));
  }
  reply->body["buses"] = Property::Array(std::move(out));
}

void Machine::MachineMedia(uint64_t, const PropertyDictionary&, Reply* reply) {
  PropertyArray out;
  for (Medium* medium : AllMedia()) {
    out.push_back(Property::Dictionary(
        {{"bsd", Property::String(medium->bsd)},
         {"size", Property::Integer(medium->size)},
         {"offset", Property::Integer(medium->offset)},
         {"content", Property::String(medium->content)},
         {"whole", Property::Boolean(medium->whole())},
         {"image", Property::String(medium->disk->image)},
         {"bus", Property::String(medium->disk->bus)},
         {"unit", Property::Integer(medium->disk->unit)},
         {"fs_type", Property::String(FileSystemType(medium->volume.kind))},
         {"name", Property::String(medium->volume.name)},
         {"mount_point", Property::String(medium->mount_point)}}));
  }
  reply->body["media"] = Property::Array(std::move(out));
}

void Machine::MachineVolumes(uint64_t, const PropertyDictionary&, Reply* reply) {
  reply->body["volumes"] = arbitrator_->Volumes();
}

void Machine::MachineReprobe(uint64_t, const PropertyDictionary& request, Reply* reply) {
  Disk* disk = nullptr;
  if (const std::string* bsd = wire::GetString(request, "bsd")) {
    Medium* medium = FindMedium(BsdFromDevice(*bsd));
    disk = medium != nullptr ? medium->disk : nullptr;
  } else if (const std::string* image = wire::GetString(request, "image")) {
    disk = FindDiskByImage(ImageHostPath(*image));
  }
  if (disk == nullptr) return Fail(reply, ENOENT, "no such disk");
  Reprobe(disk);
}

void Machine::MachineResize(uint64_t, const PropertyDictionary& request, Reply* reply) {
  auto size = wire::GetInteger(request, "size");
  if (!size || *size < 1024 || *size > (int64_t{1} << 44)) return Fail(reply, EINVAL, "bad size");
  int64_t bytes = *size / 512 * 512;
  Disk* disk = nullptr;
  std::string image;
  if (const std::string* bsd = wire::GetString(request, "bsd")) {
    Medium* medium = FindMedium(BsdFromDevice(*bsd));
    if (medium == nullptr || !medium->whole()) return Fail(reply, ENOENT, "no such disk");
    disk = medium->disk;
    image = disk->image;
  } else if (const std::string* path = wire::GetString(request, "image")) {
    image = ImageHostPath(*path);
    disk = FindDiskByImage(image);
  } else {
    return Fail(reply, EINVAL, "a disk or an image is needed");
  }
  if (::truncate(image.c_str(), bytes) != 0) return Fail(reply, errno, "cannot resize the image");
  if (disk == nullptr) return;
  disk->size = bytes;
  Medium* whole = disk->media[0].get();
  whole->size = bytes;
  whole->node->properties["Size"] = Property::Integer(bytes);
  BumpGeneration();
  Reprobe(disk);
}

void Machine::FaultAdd(uint64_t, const PropertyDictionary& request, Reply* reply) {
  std::string kind = Text(request, "kind");
  Fault fault;
  fault.device = BsdFromDevice(Text(request, "device"));
  if (kind == "refuse-unmount") {
    if (fault.device.empty()) return Fail(reply, EINVAL, "a device is needed");
    fault.kind = FaultKind::kRefuseUnmount;
  } else if (kind == "hold-registry-notifications") {
    // The medium need not exist yet: a hold is armed before a disk is plugged in.
    if (!fault.device.empty() && !IsBsdMediumName(fault.device)) {
      return Fail(reply, EINVAL, "not a disk or medium name: " + fault.device);
    }
    fault.kind = FaultKind::kHoldRegistryNotifications;
    if (auto given = request.find("seconds"); given != request.end()) {
      std::optional<double> seconds = given->second.AsReal();
      if (auto whole = given->second.AsInteger()) seconds = static_cast<double>(*whole);
      if (!seconds || !(*seconds >= 0) || *seconds > kMaxHoldSeconds) {
        return Fail(reply, EINVAL, "seconds must be a number from 0 to a year");
      }
      fault.seconds = *seconds;
    }
  } else {
    Medium* medium = FindMedium(fault.device);
    if (medium == nullptr) return Fail(reply, ENOENT, "no such device");
    fault.disk = medium->disk->number;
    fault.start = medium->offset;
    fault.end = medium->offset + medium->size;
    if (kind == "io-error") {
      fault.kind = FaultKind::kIoError;
      int64_t start = wire::GetInteger(request, "start").value_or(0);
      int64_t length = wire::GetInteger(request, "length").value_or(medium->size - start);
      if (start < 0 || length <= 0 || start > medium->size || length > medium->size - start) {
        return Fail(reply, EINVAL, "the range is not on the device");
      }
      fault.start = medium->offset + start;
      fault.end = fault.start + length;
      fault.reads = wire::GetBoolean(request, "reads").value_or(true);
      fault.writes = wire::GetBoolean(request, "writes").value_or(true);
    } else if (kind == "fail-write" || kind == "tear-write") {
      fault.kind = kind == "fail-write" ? FaultKind::kFailWrite : FaultKind::kTearWrite;
      fault.nth = wire::GetInteger(request, "nth").value_or(0);
      fault.sectors = wire::GetInteger(request, "sectors").value_or(0);
      if (fault.nth < 1 || fault.sectors < 0) return Fail(reply, EINVAL, "nth must be 1 or more");
    } else {
      return Fail(reply, EINVAL, "unknown fault kind " + kind);
    }
  }
  reply->body["id"] = Property::Integer(faults_.Add(fault));
  BumpGeneration();
}

void Machine::FaultList(uint64_t, const PropertyDictionary&, Reply* reply) {
  reply->body["faults"] = faults_.List();
}

void Machine::FaultClear(uint64_t, const PropertyDictionary& request, Reply* reply) {
  // Holds are released, never dropped: what they kept back goes out now.
  if (auto id = wire::GetInteger(request, "id")) {
    const Fault* fault = faults_.Find(*id);
    if (fault == nullptr) return Fail(reply, ENOENT, "no such fault");
    if (fault->kind == FaultKind::kHoldRegistryNotifications) {
      ReleaseHolds({*id});
    } else {
      faults_.Clear(*id);
    }
  } else if (const std::string* kind = wire::GetString(request, "kind")) {
    if (*kind != FaultKindName(FaultKind::kHoldRegistryNotifications)) {
      return Fail(reply, EINVAL, "only holds are released by kind");
    }
    std::optional<std::string> device;
    if (const std::string* given = wire::GetString(request, "device")) device = BsdFromDevice(*given);
    std::vector<int64_t> holds = faults_.HoldsOn(device);
    if (holds.empty()) return Fail(reply, ENOENT, "no such hold");
    ReleaseHolds(holds);
    reply->body["released"] = Property::Integer(static_cast<int64_t>(holds.size()));
  } else {
    ReleaseHolds(faults_.HoldsOn(std::nullopt));
    faults_.ClearAll();
  }
  BumpGeneration();
}

}  // namespace sim
