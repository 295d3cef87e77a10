#include "summary/station_ends.h"

#include <algorithm>
#include <iterator>

bool ended_by_station(std::string_view reason) {
  return std::any_of(std::begin(kStationEnds), std::end(kStationEnds), [&](std::string_view end) {
    return reason.substr(0, end.size()) == end &&
           (reason.size() == end.size() || reason[end.size()] == ' ' || reason[end.size()] == ':');
  });
}
