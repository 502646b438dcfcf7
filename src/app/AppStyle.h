#pragma once

class QApplication;

namespace brivo {

// The window's visual style: the Fusion widgets with a calm blue-grey and teal palette.
void ApplyVisualStyle(QApplication& app);

} // namespace brivo
