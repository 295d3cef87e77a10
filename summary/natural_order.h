// Names in the order a person counts them: digits as numbers ("1-1.2"
// before "1-1.10", leading zeros aside), everything else byte by byte.
#ifndef FLASHPREP_SUMMARY_NATURAL_ORDER_H_
#define FLASHPREP_SUMMARY_NATURAL_ORDER_H_

#include <string_view>

bool natural_less(std::string_view a, std::string_view b);

#endif  // FLASHPREP_SUMMARY_NATURAL_ORDER_H_
