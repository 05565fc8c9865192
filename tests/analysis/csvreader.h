#pragma once
// CSV as any reader of RFC 4180 takes it (a quoted field may hold the separator, line ends and
// doubled quotes), and an analysis exported as a user exports it: the toolbar's export, a file
// name and a separator chosen in the dialog, OK.

#include "analysis/framework/analysisexportdialog.h"
#include "analysis/framework/analysiswidget.h"
#include "tests/analysis/dockdriver.h"

#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <utility>
#include <vector>

namespace kv4test {

// The rows of `text`, each a list of fields.
inline std::vector<QStringList> readCsv(const QString& text, QChar separator) {
    std::vector<QStringList> rows(1);
    QString field;
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); i++) {
        const QChar c = text[i];
        if (c == '"' && quoted && i + 1 < text.size() && text[i + 1] == '"') {
            field += text[++i];
        } else if (c == '"') {
            quoted = !quoted;
        } else if (quoted || (c != separator && c != '\n' && c != '\r')) {
            field += c;
        } else if (c != '\r') {
            rows.back() << std::exchange(field, {});
            if (c == '\n') rows.emplace_back();
        }
    }
    if (!field.isEmpty() || !rows.back().isEmpty())
        rows.back() << field;
    else
        rows.pop_back();
    return rows;
}

// The text of the file exported as `name` with the separator whose button says `button`
// ("comma \",\"", "semicolon \";\"" or "tab \"\\t\""), in the dialog's default folder.
inline QString exportedCsv(AnalysisWidget& dock, const QString& name, const QString& button) {
    const QString path = QDir::homePath() + "/KAV4/Analysis/" + name + ".csv";
    QFile::remove(path); // else a box asks what to do with it
    click(dock, AnalysisWidget::ExportTool);
    AnalysisExportDialog& dialog = *dock.exportDialog();
    auto* fileName = labelled<QLineEdit>(dialog, "File name:");
    if (!fileName) return "<no file name box>";
    fileName->selectAll();
    QTest::keyClicks(fileName, name);
    QTest::mouseClick(withText<QRadioButton>(dialog, button), Qt::LeftButton);
    QTest::mouseClick(withText<QPushButton>(dialog, "OK"), Qt::LeftButton);
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : "<missing " + path + ">";
}

} // namespace kv4test
