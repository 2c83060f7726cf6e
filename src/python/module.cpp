// The extension module `_korvalite_core`. Public attributes are registered in their documented
// order; private submodules (`_log`, `_testing`) come last.
#include <nanobind/nanobind.h>

#include "errors.hpp"
#include "log_bridge.hpp"

namespace korvalite::py {
void bind_testing(nanobind::module_& m);
void bind_sim(nanobind::module_& m);
}

NB_MODULE(_korvalite_core, m) {
    m.doc() = "korvalite core: GigE Vision camera driver";
    korvalite::py::bind_errors(m);
    m.attr("__version__") = KORVALITE_VERSION;
    korvalite::py::bind_log(m);
    korvalite::py::bind_testing(m);
    korvalite::py::bind_sim(m);
}
