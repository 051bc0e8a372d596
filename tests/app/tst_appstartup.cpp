// Start-up of the application object: Qt's own strings read Russian like the rest of the
// interface, and the program still starts when Qt's translations are missing; every
// window carries the program's icon.
#include "TestForms.h"
#include "app/AppStartup.h"
#include "app/MainFormUnit.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

namespace {
QString plain(QString text) {
    return text.remove(QLatin1Char('&'));
}

QStringList boxButtons(QMessageBox::StandardButtons which) {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Ошибка"), QStringLiteral("?"), which);
    QStringList texts;
    for (QAbstractButton* b : box.buttons())
        texts << plain(b->text());
    texts.sort();
    return texts;
}

// The buttons of Qt's own (not the desktop's) save dialog, as the log window shows it.
QStringList saveDialogButtons() {
    QFileDialog dialog;
    dialog.setOption(QFileDialog::DontUseNativeDialog, true);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    QStringList texts;
    if (auto* buttons = dialog.findChild<QDialogButtonBox*>())
        for (QAbstractButton* b : buttons->buttons())
            texts << plain(b->text());
    texts.sort();
    return texts;
}
} // namespace

class TestAppStartup : public QObject {
    Q_OBJECT
  private slots:
    void missingTranslationsLeaveQtEnglish() {
        QTemporaryDir empty;
        QTemporaryDir broken;
        QFile junk(broken.filePath(QStringLiteral("qtbase_ru.qm")));
        QVERIFY(junk.open(QIODevice::WriteOnly));
        junk.write("not a translation");
        junk.close();
        for (const QString& dir : {empty.path(), broken.path(), QStringLiteral("/nonexistent")}) {
            QVERIFY2(!AppStartup::LoadQtTranslations(dir), qPrintable(dir));
            QCOMPARE(boxButtons(QMessageBox::Ok | QMessageBox::Cancel),
                     QStringList({QStringLiteral("Cancel"), QStringLiteral("OK")}));
        }
    }

    void qtStringsReadRussian_data() {
        QTest::addColumn<QStringList>("shown");
        QTest::addColumn<QStringList>("expected");
        // Rows are evaluated after the translation is installed (in the test function).
        // Qt's Russian translation keeps "OK" in Latin letters.
        QTest::newRow("box Cancel") << QStringList{QStringLiteral("cancel")}
                                    << QStringList{QStringLiteral("Отмена")};
        QTest::newRow("box OK, Cancel") << QStringList{QStringLiteral("ok"), QStringLiteral("cancel")}
                                        << QStringList{QStringLiteral("OK"), QStringLiteral("Отмена")};
        QTest::newRow("save dialog") << QStringList{QStringLiteral("save dialog")}
                                     << QStringList{QStringLiteral("Отмена"), QStringLiteral("Сохранить")};
    }
    void qtStringsReadRussian() {
        QFETCH(QStringList, shown);
        QFETCH(QStringList, expected);
        const QString dir = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
        QVERIFY2(
            QFileInfo::exists(dir + QStringLiteral("/qtbase_ru.qm")),
            qPrintable(dir + QStringLiteral(": no qtbase_ru.qm (Debian package qt6-translations-l10n)")));
        QTranslator* translator = AppStartup::LoadQtTranslations(dir);
        QVERIFY(translator);
        QStringList texts;
        if (shown.contains(QStringLiteral("save dialog"))) {
            texts = saveDialogButtons();
        } else {
            QMessageBox::StandardButtons which;
            if (shown.contains(QStringLiteral("ok")))
                which |= QMessageBox::Ok;
            if (shown.contains(QStringLiteral("cancel")))
                which |= QMessageBox::Cancel;
            texts = boxButtons(which);
        }
        QCoreApplication::removeTranslator(translator);
        delete translator;
        QCOMPARE(texts, expected);
    }

    void everyWindowCarriesTheProgramIcon() {
        auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
        QVERIFY(app);
        AppStartup::Prepare(*app);
        QCOMPARE(QGuiApplication::desktopFileName(), QStringLiteral("kestrom"));
        const QList<QSize> sizes = QApplication::windowIcon().availableSizes();
        for (const int s : {16, 32, 48, 256})
            QVERIFY2(sizes.contains(QSize(s, s)), qPrintable(QString::number(s)));
        QVERIFY(!QApplication::windowIcon().pixmap(32).isNull());

        FormsFixture forms;
        forms.Create();
        MainKestromForm->show();
        QVERIFY(QTest::qWaitForWindowExposed(MainKestromForm));
        QCOMPARE(MainKestromForm->windowIcon().availableSizes(), sizes);
        QCOMPARE(MainKestromForm->windowHandle()->icon().availableSizes(), sizes);
        // A standard button of a box now reads Russian, as Prepare loaded the translation.
        QCOMPARE(boxButtons(QMessageBox::Cancel), QStringList{QStringLiteral("Отмена")});
    }
};

QTEST_MAIN(TestAppStartup)
#include "tst_appstartup.moc"
