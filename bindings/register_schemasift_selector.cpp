#include "register.h"

namespace tessarin::py {

void register_schemasift_selector(nanobind::module_&) {}

}  // namespace tessarin::py
