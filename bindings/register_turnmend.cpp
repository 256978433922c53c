#include "register.h"

namespace tessarin::py {

void register_turnmend(nanobind::module_&) {}

}  // namespace tessarin::py
