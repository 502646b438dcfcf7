#include "app/AppResources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void RegisterAppQrc() { Q_INIT_RESOURCE(app); }

namespace brivo {

void InitAppResources() {
    static const bool done = (RegisterAppQrc(), true);
    (void)done;
}

} // namespace brivo
