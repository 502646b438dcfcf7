#!/usr/bin/env python3
"""Writes src/app/resources/transl.dt from the rows below.

The file format: line 1 the number of languages N; then rows of N lines each (English
key first, then each translation in column order). Row 0 holds the languages' names,
row 1 their codes. An empty translation shows the English key. Lines end with CR LF.

Run: python3 src/app/tools/make_transl.py  (from the repository root)
"""
import os

LANGS = [("English", "en"), ("Deutsch", "de"), ("Русский", "ru")]

# (English key, German, Russian). Keys must match the program's texts exactly.
ROWS = [
    # menus, tool hints, group boxes, lists, buttons
    ("File", "Datei", "Файл"),
    ("Run", "Ausführen", "Запуск"),
    ("Edit", "Bearbeiten", "Правка"),
    ("View", "Ansicht", "Вид"),
    ("Help", "Hilfe", "Справка"),
    ("Source", "Quelle", "Источник"),
    ("Disk", "Datenträger", "Диск"),
    ("Disk Image", "Datenträgerabbild", "Образ диска"),
    ("Folder", "Ordner", "Папка"),
    ("Recycle Bin", "Papierkorb", "Корзина"),
    ("Filter", "Filter", "Фильтр"),
    ("All/Custom Formats", "Alle/Eigene Formate", "Все/свои форматы"),
    ("All / Custom Formats", "Alle / Eigene Formate", "Все / свои форматы"),
    ("Documents", "Dokumente", "Документы"),
    ("Images", "Bilder", "Изображения"),
    ("Music", "Musik", "Музыка"),
    ("Videos", "Videos", "Видео"),
    ("Exit", "Beenden", "Выход"),
    ("Start Scanning", "Suche starten", "Начать сканирование"),
    ("Stop Scanning", "Suche anhalten", "Остановить сканирование"),
    ("Recover...", "Wiederherstellen...", "Восстановить..."),
    ("Check Selected", "Auswahl markieren", "Отметить выделенные"),
    ("Uncheck Selected", "Markierung der Auswahl aufheben", "Снять отметку с выделенных"),
    ("Check All", "Alle markieren", "Отметить все"),
    ("Uncheck All", "Alle Markierungen aufheben", "Снять все отметки"),
    ("Language", "Sprache", "Язык"),
    ("Tutorial", "Anleitung", "Руководство"),
    ("Contact Us", "Kontakt", "Связаться с нами"),
    ("Visit Website", "Website besuchen", "Посетить сайт"),
    ("About...", "Über...", "О программе..."),
    ("Scan", "Suchen", "Сканировать"),
    ("Stop", "Anhalten", "Остановить"),
    ("About Program...", "Über das Programm...", "О программе..."),
    ("Where to Scan", "Wo suchen", "Где искать"),
    ("What to Search", "Was suchen", "Что искать"),
    ("Update", "Aktualisieren", "Обновить"),
    ("Browse...", "Durchsuchen...", "Обзор..."),
    ("Path", "Pfad", "Путь"),
    ("Size", "Größe", "Размер"),
    ("Modified", "Geändert", "Изменён"),
    ("Condition", "Zustand", "Состояние"),
    # size units of the Size column
    ("B", "", "Б"),
    ("KB", "", "КБ"),
    ("MB", "", "МБ"),
    ("GB", "", "ГБ"),
    # status bar and progress
    ("Ready.", "Bereit.", "Готово."),
    ("Drive list refreshed.", "Laufwerksliste aktualisiert.", "Список дисков обновлён."),
    ("Recycle Bin drive list refreshed.", "Laufwerksliste für den Papierkorb aktualisiert.",
     "Список дисков для корзины обновлён."),
    ("Checked: %d", "Markiert: %d", "Отмечено: %d"),
    ("Scan finished. Found entries: %d", "Suche beendet. Gefundene Einträge: %d",
     "Сканирование завершено. Найдено записей: %d"),
    ("Scan finished. Found entries: %d. Showing first %d.",
     "Suche beendet. Gefundene Einträge: %d. Die ersten %d werden angezeigt.",
     "Сканирование завершено. Найдено записей: %d. Показаны первые %d."),
    ("Fast scan... detecting file system...", "Schnellsuche... Dateisystem wird erkannt...",
     "Быстрое сканирование... определение файловой системы..."),
    ("Fast scan starting...", "Schnellsuche startet...", "Запуск быстрого сканирования..."),
    ("Stop requested...", "Anhalten angefordert...", "Запрошена остановка..."),
    ("Scanning FAT32 directories...", "FAT32-Verzeichnisse werden durchsucht...",
     "Сканирование каталогов FAT32..."),
    ("Scanning FAT32 directories... found %d files",
     "FAT32-Verzeichnisse werden durchsucht... %d Dateien gefunden",
     "Сканирование каталогов FAT32... найдено файлов: %d"),
    ("Preparing FAT32 results... Found %d files.", "FAT32-Ergebnisse werden vorbereitet... %d Dateien gefunden.",
     "Подготовка результатов FAT32... Найдено файлов: %d."),
    ("FAT32 scan finished. Found %d files.", "FAT32-Suche beendet. %d Dateien gefunden.",
     "Сканирование FAT32 завершено. Найдено файлов: %d."),
    ("Scanning MFT: 0 / %d records...", "MFT wird durchsucht: 0 / %d Datensätze...",
     "Сканирование MFT: 0 / %d записей..."),
    ("Scanning MFT: %d / %d records, found %d useful deleted files...",
     "MFT wird durchsucht: %d / %d Datensätze, %d brauchbare gelöschte Dateien gefunden...",
     "Сканирование MFT: %d / %d записей, найдено полезных удалённых файлов: %d..."),
    ("Building paths and applying cleanup filters...", "Pfade werden erstellt und Filter angewendet...",
     "Построение путей и применение фильтров..."),
    ("Building result paths: %d / %d...", "Ergebnispfade werden erstellt: %d / %d...",
     "Построение путей результатов: %d / %d..."),
    ("Fast NTFS scan finished. Preparing results...", "NTFS-Schnellsuche beendet. Ergebnisse werden vorbereitet...",
     "Быстрое сканирование NTFS завершено. Подготовка результатов..."),
    ("Recovering selected files...", "Ausgewählte Dateien werden wiederhergestellt...",
     "Восстановление выбранных файлов..."),
    ("Recovery finished.", "Wiederherstellung beendet.", "Восстановление завершено."),
    ("OK: %d", "OK: %d", "Успешно: %d"),
    ("Failed: %d", "Fehlgeschlagen: %d", "С ошибкой: %d"),
    ("Recovery finished. OK: %d Failed: %d", "Wiederherstellung beendet. OK: %d Fehlgeschlagen: %d",
     "Восстановление завершено. Успешно: %d С ошибкой: %d"),
    # condition column
    ("Unknown", "Unbekannt", "Неизвестно"),
    ("Excellent (resident)", "Ausgezeichnet (resident)", "Отлично (резидентный)"),
    ("Empty", "Leer", "Пустой"),
    ("Excellent", "Ausgezeichnet", "Отлично"),
    ("Overwritten", "Überschrieben", "Перезаписан"),
    ("Good, %.0f%% reused%s", "Gut, %.0f%% wiederverwendet%s", "Хорошо, занято повторно %.0f%%%s"),
    ("Damaged, %.0f%% reused%s", "Beschädigt, %.0f%% wiederverwendet%s", "Повреждён, занято повторно %.0f%%%s"),
    ("Poor, %.0f%% reused%s", "Schlecht, %.0f%% wiederverwendet%s", "Плохо, занято повторно %.0f%%%s"),
    # boxes
    ("Missing required files.", "Benötigte Dateien fehlen.", "Отсутствуют необходимые файлы."),
    ("Required engine file not found: %s", "Benötigte Programmdatei nicht gefunden: %s",
     "Не найден необходимый файл: %s"),
    ("Please mark at least one file for recovery.", "Bitte markieren Sie mindestens eine Datei zur Wiederherstellung.",
     "Отметьте хотя бы один файл для восстановления."),
    ("Please run Scan first.", "Bitte starten Sie zuerst die Suche.", "Сначала выполните сканирование."),
    ("Nothing to recover: please run Scan first.", "Nichts wiederherzustellen: Bitte starten Sie zuerst die Suche.",
     "Нечего восстанавливать: сначала выполните сканирование."),
    ("Invalid inode/meta value parsed: \"%s\" (path: %s)", "Ungültige Inode-/Metadatenadresse gelesen: \"%s\" (Pfad: %s)",
     "Прочитан неверный адрес inode/метаданных: \"%s\" (путь: %s)"),
    ("Select output folder", "Zielordner wählen", "Выберите папку для сохранения"),
    ("Select folder to scan", "Zu durchsuchenden Ordner wählen", "Выберите папку для сканирования"),
    ("The output folder is on the disk being recovered. Saving there can overwrite the deleted files you want "
     "back. Save there anyway?",
     "Der Zielordner liegt auf dem Datenträger, von dem wiederhergestellt wird. Das Speichern dort kann die "
     "gelöschten Dateien überschreiben, die Sie zurückhaben möchten. Trotzdem dort speichern?",
     "Папка для сохранения находится на восстанавливаемом диске. Запись туда может затереть удалённые файлы, "
     "которые вы хотите вернуть. Всё равно сохранить туда?"),
    ("Please select a disk.", "Bitte wählen Sie einen Datenträger.", "Выберите диск."),
    ("Please select an existing disk image file.", "Bitte wählen Sie eine vorhandene Abbilddatei.",
     "Выберите существующий файл образа диска."),
    ("Please select an existing folder.", "Bitte wählen Sie einen vorhandenen Ordner.", "Выберите существующую папку."),
    ("Please select a disk for Recycle Bin scanning.", "Bitte wählen Sie einen Datenträger für die Papierkorbsuche.",
     "Выберите диск для сканирования корзины."),
    ("Folder path does not include a local drive letter.",
     "Der Ordnerpfad liegt auf keinem lokalen Datenträger.",
     "Путь к папке не относится к локальному диску."),
    ("UNC network folders are not supported. Select a local disk or disk image.",
     "Netzwerkordner werden nicht unterstützt. Wählen Sie einen lokalen Datenträger oder ein Abbild.",
     "Сетевые папки не поддерживаются. Выберите локальный диск или образ диска."),
    ("Cannot resolve folder path segment \"%s\" under \"%s\".",
     "Ordnerpfad-Abschnitt \"%s\" unter \"%s\" nicht gefunden.",
     "Не удалось найти часть пути \"%s\" в \"%s\"."),
    ("Resolved inode is empty for \"%s\".", "Für \"%s\" wurde keine Inode gefunden.",
     "Для \"%s\" получен пустой inode."),
    ("Fast Direct NTFS scan failed: cannot open %s, error %d",
     "NTFS-Direktsuche fehlgeschlagen: %s kann nicht geöffnet werden, Fehler %d",
     "Прямое сканирование NTFS не удалось: невозможно открыть %s, ошибка %d"),
    ("Fast Direct NTFS scan failed: cannot read NTFS boot sector.",
     "NTFS-Direktsuche fehlgeschlagen: NTFS-Bootsektor nicht lesbar.",
     "Прямое сканирование NTFS не удалось: невозможно прочитать загрузочный сектор NTFS."),
    ("Fast Direct NTFS scan failed: selected source does not look like NTFS.",
     "NTFS-Direktsuche fehlgeschlagen: Die gewählte Quelle ist kein NTFS.",
     "Прямое сканирование NTFS не удалось: выбранный источник не похож на NTFS."),
    ("Fast Direct NTFS scan failed: invalid NTFS geometry bps=%d cluster=%d record=%d mft_lcn=%d",
     "NTFS-Direktsuche fehlgeschlagen: ungültige NTFS-Geometrie bps=%d cluster=%d record=%d mft_lcn=%d",
     "Прямое сканирование NTFS не удалось: неверная геометрия NTFS bps=%d cluster=%d record=%d mft_lcn=%d"),
    ("Fast Direct NTFS scan failed: cannot read/repair $MFT record 0.",
     "NTFS-Direktsuche fehlgeschlagen: $MFT-Datensatz 0 nicht lesbar/reparierbar.",
     "Прямое сканирование NTFS не удалось: невозможно прочитать/исправить запись 0 $MFT."),
    ("Fast Direct NTFS scan failed: cannot parse $MFT DATA runlist.",
     "NTFS-Direktsuche fehlgeschlagen: $MFT-DATA-Runlist nicht lesbar.",
     "Прямое сканирование NTFS не удалось: невозможно разобрать список отрезков DATA в $MFT."),
    ("Fast FAT32 scan failed: cannot open %s, error %d",
     "FAT32-Suche fehlgeschlagen: %s kann nicht geöffnet werden, Fehler %d",
     "Сканирование FAT32 не удалось: невозможно открыть %s, ошибка %d"),
    ("Fast FAT32 scan failed: cannot read boot sector.",
     "FAT32-Suche fehlgeschlagen: Bootsektor nicht lesbar.",
     "Сканирование FAT32 не удалось: невозможно прочитать загрузочный сектор."),
    ("Fast FAT32 scan failed: invalid FAT32 geometry.",
     "FAT32-Suche fehlgeschlagen: ungültige FAT32-Geometrie.",
     "Сканирование FAT32 не удалось: неверная геометрия FAT32."),
    # About box
    ("Version:", "Version:", "Версия:"),
    ("Website:", "Website:", "Сайт:"),
    ("This program is provided as is, without warranty of any kind.",
     "Dieses Programm wird ohne jede Gewährleistung bereitgestellt.",
     "Программа предоставляется «как есть», без каких-либо гарантий."),
    ("It only reads the disk or image it scans and never writes to it.",
     "Es liest den durchsuchten Datenträger oder das Abbild nur und schreibt nie darauf.",
     "Она только читает сканируемый диск или образ и никогда не записывает на него."),
    ("Save recovered files to a different disk than the one you recover from.",
     "Speichern Sie wiederhergestellte Dateien auf einem anderen Datenträger als dem durchsuchten.",
     "Сохраняйте восстановленные файлы на другой диск, а не на тот, с которого восстанавливаете."),
    ("Recovery of any particular file cannot be guaranteed.",
     "Die Wiederherstellung einer bestimmten Datei kann nicht garantiert werden.",
     "Восстановление конкретного файла не гарантируется."),
    ("Copyright (C) %d Brivo File Recovery. All rights reserved.",
     "Copyright (C) %d Brivo File Recovery. Alle Rechte vorbehalten.",
     "© %d Brivo File Recovery. Все права защищены."),
    # update check
    ("The new version %s is available", "Die neue Version %s ist verfügbar", "Доступна новая версия %s"),
    ("This version of the software is out of date. You must download the current version %s to continue "
     "using the software.",
     "Diese Version der Software ist veraltet. Sie müssen die aktuelle Version %s herunterladen, um die "
     "Software weiter zu verwenden.",
     "Эта версия программы устарела. Чтобы продолжить работу, загрузите текущую версию %s."),
    ("What's new:", "Neuigkeiten:", "Что нового:"),
    ("Failed to download update. Please download manually on website.",
     "Das Update konnte nicht heruntergeladen werden. Bitte laden Sie es manuell von der Website herunter.",
     "Не удалось загрузить обновление. Загрузите его вручную с сайта."),
    # results list: filter, counts, what a scan left out; preview; choices
    ("Scan stopped. Found entries: %d", "Suche angehalten. Gefundene Einträge: %d",
     "Сканирование остановлено. Найдено записей: %d"),
    ("%d shown of %d", "%d von %d angezeigt", "Показано %d из %d"),
    ("Hidden: %d by the masks, %d by the cleanup filter.",
     "Ausgeblendet: %d durch die Masken, %d durch den Bereinigungsfilter.",
     "Скрыто: %d масками, %d фильтром очистки."),
    ("Show them", "Anzeigen", "Показать"),
    ("Deep scan", "Tiefensuche", "Глубокое сканирование"),
    ("Also search free space for lost folders (slower)",
     "Auch freien Speicher nach verlorenen Ordnern durchsuchen (langsamer)",
     "Также искать потерянные папки в свободном месте (медленнее)"),
    ("Filter the list by name or path", "Liste nach Name oder Pfad filtern", "Фильтр списка по имени или пути"),
    ("No web browser could be started. Please open this address: %s",
     "Es konnte kein Webbrowser gestartet werden. Bitte öffnen Sie diese Adresse: %s",
     "Не удалось запустить веб-браузер. Откройте этот адрес: %s"),
    ("Preview", "Vorschau", "Предпросмотр"),
    ("Select a file to preview it.", "Wählen Sie eine Datei für die Vorschau.", "Выберите файл для предпросмотра."),
    ("Preview is not available for this result.", "Für dieses Ergebnis ist keine Vorschau verfügbar.",
     "Предпросмотр для этого результата недоступен."),
    ("Reading...", "Wird gelesen...", "Чтение..."),
    ("The preview waits until the work in progress has ended.",
     "Die Vorschau wartet, bis die laufende Arbeit beendet ist.",
     "Предпросмотр ждёт окончания текущей работы."),
    ("Showing the first %s.", "Die ersten %s werden angezeigt.", "Показаны первые %s."),
    ("Could not read the file: %s", "Die Datei konnte nicht gelesen werden: %s", "Не удалось прочитать файл: %s"),
    ("Image...", "Abbild...", "Образ..."),
    ("The volume (partition) to scan", "Das zu durchsuchende Volume (Partition)", "Том (раздел) для сканирования"),
]


def main():
    n = len(LANGS)
    lines = [str(n)]
    lines += [name for name, _ in LANGS]
    lines += [code for _, code in LANGS]
    keys = set()
    for row in ROWS:
        assert len(row) == n, row
        assert row[0] not in keys, "duplicate key: " + row[0]
        keys.add(row[0])
        for cell in row:
            assert "\r" not in cell and "\n" not in cell, row
        lines += list(row)
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, "..", "resources", "transl.dt")
    with open(out, "w", encoding="utf-8", newline="") as f:
        f.write("\r\n".join(lines) + "\r\n")


if __name__ == "__main__":
    main()
