// Links both libraries and touches the shared value type, through the
// installed include names.
#include <tessarin/common/json_value.h>
#include <tessarin/schemasift/selector.h>
#include <tessarin/turnmend/resolver.h>

int main() {
  tessarin::JsonMap map{{"turn_id", 1}};
  return map.find("turn_id")->as_int() == 1 ? 0 : 1;
}
