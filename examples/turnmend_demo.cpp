// Demonstration of the context resolver: four messages resolved against one
// example card, each printed with its resolution as indented JSON.
#include <iostream>

#include "tessarin/turnmend/resolver.h"

int main() {
  std::cout << tessarin::turnmend::demonstration_text();
  return 0;
}
