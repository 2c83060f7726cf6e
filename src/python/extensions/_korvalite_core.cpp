// The production extension `korvalite._korvalite_core`. The module itself is defined in the
// shared library both extensions load (module.cpp, as `korvalite_core_module`), so that they
// share one core and one set of bound classes; this file only hands Python over to it.
#include <Python.h>

extern "C" PyObject* PyInit_korvalite_core_module();

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__korvalite_core() {
    return PyInit_korvalite_core_module();
}
