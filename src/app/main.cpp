#include <QApplication>

#include "app/AppInfo.h"
#include "app/AppResources.h"
#include "app/AppStyle.h"
#include "app/LanguageSetting.h"
#include "app/MainForm.h"
#include "app/NewVersionDialog.h"
#include "app/UpdateCheck.h"

int main(int argc, char** argv) {
    // 1-3. Application, visual style, title.
    QApplication app(argc, argv);
    brivo::InitAppResources();
    brivo::ApplyVisualStyle(app);
    QApplication::setApplicationName(QString::fromUtf8(brivo::kAppTitle));
    QApplication::setOrganizationName(QString::fromUtf8(brivo::kSettingsOrganisation));
    QApplication::setDesktopFileName(QStringLiteral("brivo-file-recovery"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/icons/brivo-file-recovery.png")));
    // 4. Translation table (a missing or bad file leaves English, silently).
    brivo::LoadTranslation();
    // 5. Update check; a mandatory update that is declined, or a started download, ends here.
    if (brivo::CheckForNewVersion()) {
        brivo::TfrmNewVersion dialog;
        dialog.exec();
        if (dialog.EndsProgram()) return 0;
    }
    // 6. The main window and the message loop.
    brivo::TFrmMain window;
    window.show();
    return app.exec();
}
