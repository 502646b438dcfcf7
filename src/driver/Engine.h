#pragma once
// The engine as the front ends see it: they own the engine context (the tools' folder,
// the runner) and hand it to the driver; they unpack and remove the tools' folder.
// A signal's cleanup ends the engine's children too. Everything else of the engine is
// reached only through the driver.
#include "engine/EngineFolder.h"
#include "engine/SignalCleanup.h"
