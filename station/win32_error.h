// Windows only: a system error code as the words Windows has for it, the way
// strerror() gives errno's on POSIX, for the station's messages.
#ifndef FLASHPREP_STATION_WIN32_ERROR_H_
#define FLASHPREP_STATION_WIN32_ERROR_H_

#include <windows.h>

#include <string>

// "The system cannot find the path specified (error 3)"; the number alone
// when Windows has no words for it.
inline std::string win32_error_text(DWORD code) {
  char* words = nullptr;
  const DWORD n = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
      reinterpret_cast<char*>(&words),  // NOLINT: the API's way of returning the buffer
      0, nullptr);
  std::string text;
  if (n > 0 && words != nullptr)
    text.assign(words, n);
  if (words != nullptr)
    (void)LocalFree(words);
  while (!text.empty() &&
         (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
    text.pop_back();
  const std::string number = "error " + std::to_string(code);
  return text.empty() ? number : text + " (" + number + ")";
}

// The calling thread's last error, as above.
inline std::string last_error_text() {
  return win32_error_text(GetLastError());
}

#endif  // FLASHPREP_STATION_WIN32_ERROR_H_
