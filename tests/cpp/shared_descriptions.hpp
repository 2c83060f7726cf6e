#pragma once
// Where the real camera descriptions are: the folder named by KORVALITE_GENICAM_XML, else
// ../shared/genicam-xml beside the repository. Tests that need them skip, saying why, when
// neither exists, so a clone of the repository alone passes.
#include <cstdlib>
#include <filesystem>

namespace korvalite::test_support {

inline std::filesystem::path shared_descriptions() {
    if (const char* given = std::getenv("KORVALITE_GENICAM_XML"); given && *given) return given;
    return std::filesystem::path(KORVALITE_SHARED_DIR) / "genicam-xml";
}

inline bool have_shared_descriptions() { return std::filesystem::is_directory(shared_descriptions()); }

}  // namespace korvalite::test_support

// At the top of a test that reads the real descriptions.
#define KORVALITE_REQUIRE_SHARED_DESCRIPTIONS()                                                      \
    if (!::korvalite::test_support::have_shared_descriptions())                                     \
    GTEST_SKIP() << "no real descriptions at " << ::korvalite::test_support::shared_descriptions() \
                 << " (set KORVALITE_GENICAM_XML)"
