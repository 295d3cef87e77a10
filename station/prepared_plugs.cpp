#include "station/prepared_plugs.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>

bool read_prepared_plugs(const std::string& path, const std::string& boot,
                         std::map<std::string, UsbPlace>* latest, std::string* error) {
  latest->clear();
  if (boot.empty())
    return true;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    if (errno == ENOENT)
      return true;
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  // A year of records is a large file: only lines of this boot are parsed.
  const std::string mark = "\"boot\":\"" + boot + "\"";
  for (std::string line; std::getline(in, line);) {
    if (line.find(mark) == std::string::npos)
      continue;
    const nlohmann::json record = nlohmann::json::parse(line, nullptr, false);
    if (record.is_discarded() || !record.is_object())
      continue;
    const auto board = record.find("board");
    const auto bus = record.find("bus");
    const auto device = record.find("device");
    const auto devnum = record.find("devnum");
    const auto its_boot = record.find("boot");
    // Every member looked at before it is read: a foreign line is passed
    // over, never a reason to stop.
    if (board == record.end() || !board->is_string() || bus == record.end() || !bus->is_string() ||
        device == record.end() || !device->is_string() || devnum == record.end() ||
        !devnum->is_number_integer() || its_boot == record.end() || !its_boot->is_string() ||
        its_boot->get<std::string>() != boot)
      continue;
    (*latest)[board->get<std::string>()] =
        UsbPlace{bus->get<std::string>(), device->get<std::string>(), devnum->get<int>()};
  }
  if (in.bad()) {
    *error = "cannot read " + path;
    return false;
  }
  return true;
}
