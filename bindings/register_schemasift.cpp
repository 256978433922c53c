#include "register.h"

namespace tessarin::py {

void register_schemasift(nanobind::module_&) {}

}  // namespace tessarin::py
