#pragma once

namespace brivo {

// The version both programs show (window caption, About box, brivo-recovery-cli --version).
inline constexpr const char* kVersionText = "2.4";

} // namespace brivo
