#pragma once
#include <cstdlib>
#include <string>

#include "TestSupport.h"
#include "engine/EngineFolder.h"

namespace brivo::test {

// The real engine folder, made under a private temporary folder and removed at the end.
class EngineForTest {
public:
    EngineForTest() {
        const char* old = std::getenv("TMPDIR");
        const std::string saved = old ? old : "";
        ::setenv("TMPDIR", tmp_.path().c_str(), 1);
        ExtractEmbeddedBinaries(ctx);
        if (old) ::setenv("TMPDIR", saved.c_str(), 1);
        else ::unsetenv("TMPDIR");
    }
    ~EngineForTest() { DeleteExtractedBinaries(ctx); }
    EngineForTest(const EngineForTest&) = delete;
    EngineForTest& operator=(const EngineForTest&) = delete;

    TEngineContext ctx;

private:
    TempDir tmp_;
};

} // namespace brivo::test
