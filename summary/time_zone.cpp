#include <cctype>

#include "summary/time_zone.h"

bool fixed_offset_zone(const std::string& name) {
  size_t at = 0;
  const auto digits = [&](size_t most) {
    const size_t from = at;
    while (at < name.size() && at - from < most &&
           std::isdigit(static_cast<unsigned char>(name[at])))
      ++at;
    return at - from;
  };
  while (at < name.size() && std::isalpha(static_cast<unsigned char>(name[at])))
    ++at;
  if (at < 3)
    return false;
  if (at < name.size() && (name[at] == '+' || name[at] == '-'))
    ++at;
  if (digits(2) == 0)
    return false;
  for (int part = 0; part < 2 && at < name.size() && name[at] == ':'; ++part) {
    ++at;
    if (digits(2) != 2)
      return false;
  }
  return at == name.size();
}
