#include "summary/natural_order.h"

#include <algorithm>

namespace {

bool digit(char c) {
  return c >= '0' && c <= '9';
}

// The run of digits of `text` from `at`, without its leading zeros; `*end`
// is set past it.
std::string_view number_at(std::string_view text, size_t at, size_t* end) {
  size_t e = at;
  while (e < text.size() && digit(text[e]))
    ++e;
  *end = e;
  std::string_view n = text.substr(at, e - at);
  n.remove_prefix(std::min(n.find_first_not_of('0'), n.size()));
  return n;
}

}  // namespace

bool natural_less(std::string_view a, std::string_view b) {
  size_t i = 0;
  size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (digit(a[i]) && digit(b[j])) {
      const std::string_view x = number_at(a, i, &i);
      const std::string_view y = number_at(b, j, &j);
      // The longer number is the larger.
      if (x.size() != y.size())
        return x.size() < y.size();
      if (x != y)
        return x < y;
    } else {
      if (a[i] != b[j])
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
      ++i;
      ++j;
    }
  }
  return a.size() - i < b.size() - j;
}
