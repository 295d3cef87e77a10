#include "sim/board_folder.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "sim/environment.h"
#include "sim/scenario_names.h"

namespace sim {
namespace {

constexpr int kErrInvalid = -22;  // -EINVAL: no such handle
constexpr int kErrBusy = -16;     // -EBUSY: another process holds the board
constexpr int kErrDenied = -1;    // -EPERM: a request on a read-only handle

BoardFolder* current_folder = nullptr;

bool board_name(const std::string& name) {
  if (name.empty() || name[0] == '.')
    return false;
  return std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
  });
}

bool setting_name(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
  });
}

// The board file's settings; false, with the reason in `error`, for a line
// that is not a comment, blank or FLASHPREP_SIM_NAME=VALUE, a name the board
// does not know, one that a single board cannot have, or one set twice.
// A setting is taken as written: a space around '=' would be part of the
// name or of the value, so it is refused rather than guessed at.
bool read_settings(const std::string& path, std::map<std::string, std::string>* settings,
                   std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read it";
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r')
      line.pop_back();  // written on Windows
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#')
      continue;
    const std::string where = "line " + std::to_string(number) + ": ";
    const size_t eq = line.find('=');
    const std::string name = eq == std::string::npos ? line : line.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : line.substr(eq + 1);
    const bool spaced =
        eq != std::string::npos && ((eq > 0 && (line[eq - 1] == ' ' || line[eq - 1] == '\t')) ||
                                    (!value.empty() && (value[0] == ' ' || value[0] == '\t')));
    if (eq == std::string::npos || spaced || !setting_name(name) ||
        name.rfind("FLASHPREP_SIM_", 0) != 0) {
      *error = where;
      error->append("'").append(line).append("' is not FLASHPREP_SIM_NAME=VALUE");
      if (spaced)
        error->append(" (no spaces around '=')");
      return false;
    }
    std::string unknown;
    if (!check_scenario_names({name}, &unknown)) {
      *error = where + unknown;
      return false;
    }
    // The bus's own settings, and the launcher's.
    if (name == "FLASHPREP_SIM_BOARD" || name == "FLASHPREP_SIM_BOARDS" ||
        name == "FLASHPREP_SIM_HELP" || name == "FLASHPREP_SIM_LIBRARY") {
      *error = where + name + " cannot be set for one board";
      return false;
    }
    if (!settings->emplace(name, value).second) {
      *error = where + name + " set a second time";
      return false;
    }
  }
  return true;
}

// A board file's number setting `name`, from `low` to `high`; 0 without it.
bool number_setting(const Getenv& get, const char* name, int low, int high, int* value,
                    std::string* error) {
  const char* text = get(name);
  *value = 0;
  if (text == nullptr)
    return true;
  const std::string digits = text;
  const bool number =
      !digits.empty() && digits.size() <= 3 &&
      std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (number && std::stoi(digits) >= low && std::stoi(digits) <= high) {
    *value = std::stoi(digits);
    return true;
  }
  *error = std::string("bad value for ") + name + ": '" + digits + "' (" + std::to_string(low) +
           " to " + std::to_string(high) + ")";
  return false;
}

// A devnum of 2..127 (1 is the root hub) that depends only on which file
// the board is, so that every process names it alike.
uint8_t devnum_of(const FileId& id) {
  const uint64_t mix = (id.index * 0x9E3779B97F4A7C15ULL) ^ static_cast<uint64_t>(id.changed);
  return static_cast<uint8_t>(2 + (mix ^ (mix >> 29) ^ (mix >> 47)) % 126);
}

}  // namespace

BoardFolder* folder_in_use() {
  return current_folder;
}

void use_folder(BoardFolder* folder) {
  current_folder = folder;
}

BoardFolder::BoardFolder(std::string dir, Getenv environment, std::string program,
                         RefusedOpen refused)
    : dir_(std::move(dir)),
      environment_(std::move(environment)),
      program_(std::move(program)),
      refused_(std::move(refused)) {
  bus(0);  // listed even without a board, as a computer's bus is
}

usb_bus& BoardFolder::bus(int number) {
  auto [it, added] = buses_.try_emplace(number);
  if (added) {
    const std::string name = number == 0 ? "sim" : "sim" + std::to_string(number);
    (void)std::snprintf(it->second.dirname, sizeof it->second.dirname, "%s", name.c_str());
    it->second.location = static_cast<uint32_t>(number + 1);
  }
  return it->second;
}

BoardFolder::~BoardFolder() {
  for (Slot& slot : slots_) {
    if (slot.lock.held())
      save(slot);
    if (!slot.usb.close_trace())
      std::fprintf(stderr, "%s: cannot write %s\n", program_.c_str(), slot.files.trace.c_str());
  }
}

void BoardFolder::plug(Slot& slot) {
  std::map<std::string, std::string> settings;
  std::string error;
  const std::string file = path(slot);
  bool usable = read_settings(file, &settings, &error);
  if (usable) {
    // The board's own settings first, then the environment's, except the
    // ones that name things of a single board or of the whole bus.
    const Getenv get = [&](const char* name) -> const char* {
      auto it = settings.find(name);
      if (it != settings.end())
        return it->second.c_str();
      const std::string n = name;
      if (n == "FLASHPREP_SIM_BOARD" || n == "FLASHPREP_SIM_BOARDS" || n == "FLASHPREP_SIM_FLASH" ||
          n == "FLASHPREP_SIM_STATE" || n == "FLASHPREP_SIM_TRACE")
        return nullptr;
      return environment_(name);
    };
    // The files it names itself are checked as the environment's are, so
    // that a run is never made only to find its results cannot be kept.
    usable = configure_from_environment(slot.usb, get, &slot.files, &error) &&
             files_usable(slot.files, &error) &&
             number_setting(get, "FLASHPREP_SIM_BUS", 1, 99, &slot.bus, &error) &&
             number_setting(get, "FLASHPREP_SIM_DEVNUM", 2, 127, &slot.devnum, &error);
  }
  if (!usable) {
    // Listed as the board it would be, a healthy one: nobody gets to use it.
    slot.refusal = error.empty() ? std::string("cannot be used") : error;
    slot.usb.reset();
    slot.files = ScenarioFiles();
  }
  // A board pulled out while its host waits for a held reply ends the wait.
  slot.usb.while_held([this, &slot] { return check_plugged(slot) == 0; });
  if (slot.files.state.empty())
    slot.files.state = file + ".state";
  if (slot.files.flash.empty())
    slot.files.flash = slot.files.state + "/flash.bin";
  slot.usb.find_busses();
  slot.usb.find_devices();
  usb_bus* own = slot.usb.get_busses();  // the board alone, on a bus of its own
  slot.inner = own == nullptr ? nullptr : own->devices;

  // The devnum follows the file, and changes whenever the file was created
  // anew, even when two files happen to mix to one number.
  uint8_t devnum = devnum_of(slot.id);
  auto last = last_devnum_.find(slot.name);
  if (last != last_devnum_.end() && last->second == devnum)
    devnum = static_cast<uint8_t>(devnum == 127 ? 2 : devnum + 1);
  // One the file gives stays, as the last free address of a full bus goes
  // to whichever board comes next.
  if (slot.devnum != 0)
    devnum = static_cast<uint8_t>(slot.devnum);
  last_devnum_[slot.name] = devnum;
  if (slot.inner != nullptr)
    slot.dev = *slot.inner;
  slot.dev.devnum = devnum;
  (void)std::snprintf(slot.dev.filename, sizeof slot.dev.filename, "%s", slot.name.c_str());
}

void BoardFolder::read_folder() {
  std::vector<std::string> names;
  std::error_code error;
  for (std::filesystem::directory_iterator it(dir_, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (board_name(name))
      names.push_back(name);
  }
  std::sort(names.begin(), names.end());

  std::vector<Slot*> now;
  for (const std::string& name : names) {
    const FileId id = file_id(dir_ + "/" + name);
    if (!id.exists)
      continue;  // a folder, or pulled out since the listing
    auto same = std::find_if(plugged_.begin(), plugged_.end(),
                             [&](const Slot* s) { return s->name == name && s->id == id; });
    if (same != plugged_.end()) {
      now.push_back(*same);
      continue;
    }
    slots_.emplace_back();
    Slot& slot = slots_.back();
    slot.name = name;
    slot.id = id;
    plug(slot);
    // A file pulled out or written again while it was read is not refused
    // for what was read: the next listing takes it as it is then.
    if (!slot.refusal.empty() && file_id(path(slot)) != id) {
      slots_.pop_back();  // nothing refers to it yet
      continue;
    }
    now.push_back(&slot);
  }
  for (Slot* s : plugged_)
    if (std::find(now.begin(), now.end(), s) == now.end())
      s->gone = true;
  plugged_ = now;
}

int BoardFolder::find_busses() {
  read_folder();
  return 1;
}

int BoardFolder::find_devices() {
  read_folder();
  std::map<int, struct usb_device*> last;  // each bus's last device so far
  for (auto& [number, listed] : buses_)
    listed.devices = nullptr;
  for (Slot* s : plugged_) {
    struct usb_device& dev = s->dev;
    usb_bus& on = bus(s->bus);
    struct usb_device*& prev = last[s->bus];
    dev.bus = &on;
    dev.prev = prev;
    dev.next = nullptr;
    if (prev != nullptr)
      prev->next = &dev;
    else
      on.devices = &dev;
    prev = &dev;
  }
  // The buses in number order, "sim" first; one whose boards were all
  // pulled out is no longer listed.
  usb_bus* prev = nullptr;
  for (auto& [number, listed] : buses_) {
    listed.prev = listed.next = nullptr;
    if (number != 0 && listed.devices == nullptr)
      continue;
    listed.prev = prev;
    if (prev != nullptr)
      prev->next = &listed;
    prev = &listed;
  }
  forget_gone();
  return static_cast<int>(plugged_.size());
}

void BoardFolder::forget_gone() {
  // Only here, once the bus lists none of them: usb_find_busses alone
  // leaves the last list in place for the program to walk.
  for (auto it = slots_.begin(); it != slots_.end();) {
    const bool listed = std::find(plugged_.begin(), plugged_.end(), &*it) != plugged_.end();
    if (listed || it->usb.open_handles() > 0 || it->lock.held()) {
      ++it;
      continue;
    }
    if (!it->usb.close_trace())
      std::fprintf(stderr, "%s: cannot write %s\n", program_.c_str(), it->files.trace.c_str());
    it = slots_.erase(it);
  }
}

usb_bus* BoardFolder::get_busses() {
  return &buses_.begin()->second;
}

SimUsb* BoardFolder::board_usb(const std::string& name) {
  auto it = std::find_if(plugged_.begin(), plugged_.end(),
                         [&](const Slot* s) { return s->name == name; });
  return it == plugged_.end() ? nullptr : &(*it)->usb;
}

BoardFolder::Slot* BoardFolder::slot_of(usb_dev_handle* h) {
  auto it = handles_.find(h);
  return it == handles_.end() ? nullptr : it->second;
}

int BoardFolder::check_plugged(Slot& slot) {
  const auto now = std::chrono::steady_clock::now();
  if (!slot.gone && now - slot.looked >= std::chrono::milliseconds(kFileLookMs)) {
    slot.gone = file_id(path(slot)) != slot.id;
    slot.looked = now;
  }
  if (!slot.gone)
    return 0;
  // From the next transfer on, as an unplug fault does.
  slot.usb.unplug_after(slot.usb.transfers());
  return kErrNoDevice;
}

usb_dev_handle* BoardFolder::open(const struct usb_device* dev) {
  for (Slot& slot : slots_) {
    if (&slot.dev != dev)
      continue;
    if (slot.gone || slot.inner == nullptr)
      return nullptr;
    if (!slot.refusal.empty()) {
      if (refused_)
        refused_(path(slot), slot.refusal);
      return nullptr;
    }
    usb_dev_handle* h = slot.usb.open(slot.inner);
    if (h != nullptr)
      handles_[h] = &slot;
    return h;
  }
  return nullptr;
}

int BoardFolder::close(usb_dev_handle* h) {
  Slot* slot = slot_of(h);
  if (slot == nullptr)
    return kErrInvalid;
  const int result = slot->usb.close(h);
  if (result == 0)
    handles_.erase(h);  // its slot may be freed once pulled out
  if (result == 0 && slot->lock.held() && slot->usb.open_handles() == 0) {
    slot->usb.flush_trace();
    save(*slot);
    slot->lock.release();
  }
  return result;
}

void BoardFolder::save(Slot& slot) {
  std::error_code exists;  // a failure shows when the files are written
  std::filesystem::create_directories(slot.files.state, exists);
  save_files(slot.usb.board(), slot.files, program_.c_str());
}

int BoardFolder::set_configuration(usb_dev_handle* h, int configuration) {
  Slot* slot = slot_of(h);
  if (slot == nullptr)
    return kErrInvalid;
  if (const int gone = check_plugged(*slot))
    return gone;
  // libusb 0.1 opens a node it may not write read-only, and every request
  // on it then fails: a board udev has not given to a group of ours yet.
  // USB_DEVFS_PATH says where the nodes are, as it does for libusb 0.1;
  // without it there are none.
  const char* nodes = environment_("USB_DEVFS_PATH");
  if (nodes != nullptr && slot->dev.bus != nullptr &&
      !may_write(std::string(nodes) + "/" + slot->dev.bus->dirname + "/" + slot->name))
    return kErrDenied;
  if (!slot->lock.held()) {
    const BoardLock::Result taken = slot->lock.acquire(path(*slot), slot->id);
    if (taken == BoardLock::Result::busy)
      return kErrBusy;
    if (taken == BoardLock::Result::gone) {
      slot->gone = true;
      return check_plugged(*slot);
    }
    // The holder starts from the flash the last holder left.
    load_flash(slot->usb.board(), slot->files.flash);
    if (!slot->trace_started && !slot->files.trace.empty()) {
      slot->trace_started = true;
      if (!slot->usb.trace_to(slot->files.trace))
        std::fprintf(stderr, "%s: cannot write %s\n", program_.c_str(), slot->files.trace.c_str());
    }
  }
  return slot->usb.set_configuration(h, configuration);
}

int BoardFolder::get_string(usb_dev_handle* h, int index, int langid, char* bytes, size_t size) {
  Slot* slot = slot_of(h);
  if (slot == nullptr)
    return kErrInvalid;
  if (const int gone = check_plugged(*slot))
    return gone;
  return slot->usb.get_string(h, index, langid, bytes, size);
}

int BoardFolder::claim_interface(usb_dev_handle* h, int interface) {
  Slot* slot = slot_of(h);
  if (slot == nullptr)
    return kErrInvalid;
  if (const int gone = check_plugged(*slot))
    return gone;
  return slot->usb.claim_interface(h, interface);
}

int BoardFolder::release_interface(usb_dev_handle* h, int interface) {
  Slot* slot = slot_of(h);
  if (slot == nullptr)
    return kErrInvalid;
  if (const int gone = check_plugged(*slot))
    return gone;
  return slot->usb.release_interface(h, interface);
}

int BoardFolder::reset_device(usb_dev_handle* h) {
  Slot* slot = slot_of(h);
  if (slot == nullptr)
    return kErrInvalid;
  if (const int gone = check_plugged(*slot))
    return gone;
  return slot->usb.reset_device(h);
}

int BoardFolder::bulk_write(usb_dev_handle* h, int ep, const char* bytes, int size, int timeout) {
  Slot* slot = slot_of(h);
  if (slot == nullptr)
    return kErrInvalid;
  (void)check_plugged(*slot);  // a pulled board fails the transfer itself, counted as one
  return slot->usb.bulk_write(h, ep, bytes, size, timeout);
}

int BoardFolder::bulk_read(usb_dev_handle* h, int ep, char* bytes, int size, int timeout) {
  Slot* slot = slot_of(h);
  if (slot == nullptr)
    return kErrInvalid;
  (void)check_plugged(*slot);
  return slot->usb.bulk_read(h, ep, bytes, size, timeout);
}

}  // namespace sim
