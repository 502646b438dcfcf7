#pragma once

namespace brivo {

// Registers the icons compiled into this static library (a static library's resources
// are not registered by themselves). Safe to call more than once.
void InitAppResources();

} // namespace brivo
