#include "summary/station_ends.h"

bool ended_by_station(std::string_view reason) {
  for (const std::string_view end : kStationEnds) {
    if (reason.substr(0, end.size()) == end &&
        (reason.size() == end.size() || reason[end.size()] == ' ' || reason[end.size()] == ':'))
      return true;
  }
  return false;
}
