// The module's entry point checks the interpreter's version string before it
// sets anything up. The check is pybind11's own; here it runs against made-up
// version strings by standing in for the two interpreter calls it makes.
#include <string>

#include <gtest/gtest.h>
#include <pybind11/detail/common.h>

namespace {

const char* fake_version = "";
std::string import_error;

void record_import_error(const char* format, const char* compiled, const char* runtime) {
    char text[512];
    std::snprintf(text, sizeof text, format, compiled, runtime);
    import_error = text;
}

#define Py_GetVersion() fake_version
#define PyErr_Format(type, format, compiled, runtime) record_import_error(format, compiled, runtime)

// Mirrors the module entry: nullptr when the import is refused.
PyObject* enter_module(const char* version) {
    fake_version = version;
    import_error.clear();
    PYBIND11_CHECK_PYTHON_VERSION
    return reinterpret_cast<PyObject*>(&fake_version);
}

#undef PyErr_Format
#undef Py_GetVersion

std::string mismatch(const std::string& version) {
    return "Python version mismatch: module was compiled for Python 3.13, but the interpreter "
           "version is incompatible: " + version + ".";
}

}  // namespace

TEST(InterpreterVersionCheck, AcceptsEveryPatchReleaseOf313) {
    for (const char* version : {"3.13.1", "3.13.0 (main, May  9 2026, 07:36:57) [GCC 12.2.0]",
                                "3.13", "3.13rc1", "3.13.12+"}) {
        EXPECT_NE(enter_module(version), nullptr) << version;
        EXPECT_EQ(import_error, "") << version;
    }
}

TEST(InterpreterVersionCheck, RefusesOtherVersionsWithTheExactMessage) {
    for (const char* version : {"3.130", "3.12.4", "3.14.0", "2.7.18", "3.1", ""}) {
        EXPECT_EQ(enter_module(version), nullptr) << version;
        EXPECT_EQ(import_error, mismatch(version)) << version;
    }
}

TEST(InterpreterVersionCheck, ModuleIsBuiltFor313) {
    EXPECT_EQ(PY_MAJOR_VERSION, 3);
    EXPECT_EQ(PY_MINOR_VERSION, 13);
}
