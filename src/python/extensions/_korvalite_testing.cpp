// The test-only extension `korvalite._korvalite_testing`. The module itself is defined in the
// shared library both extensions load (testing.cpp, as `korvalite_testing_module`), so that its
// hooks reach the same core and return the same classes as `_korvalite_core`; this file only
// hands Python over to it.
#include <Python.h>

extern "C" PyObject* PyInit_korvalite_testing_module();

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__korvalite_testing() {
    return PyInit_korvalite_testing_module();
}
