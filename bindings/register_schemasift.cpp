#include "register.h"

namespace tessarin::py {

void register_schemasift(nanobind::module_& m) { register_schemasift_selector(m); }

}  // namespace tessarin::py
