// Links both libraries and touches the shared value type.
#include "common/json_value.h"

int main() {
  tessarin::JsonMap map{{"turn_id", 1}};
  return map.find("turn_id")->as_int() == 1 ? 0 : 1;
}
