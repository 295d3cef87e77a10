// The smallest C++ program that prints through iostream, as flashprep does: a
// baseline for peak resident memory (the C++ runtime's share).
#include <iostream>

int main() {
  std::cout << "HELLO" << std::endl;
  return 0;
}
