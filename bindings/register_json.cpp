#include "register.h"

namespace tessarin::py {

void register_json(nanobind::module_&) {}

}  // namespace tessarin::py
