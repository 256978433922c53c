// Prints the selector's demonstration run: the selected metadata, the
// metrics summary and the debug record.
#include <iostream>

#include "tessarin/schemasift/selector.h"

int main() {
  std::cout << tessarin::schemasift::demo_output();
  return 0;
}
