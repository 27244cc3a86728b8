// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once
// A window on the scripted host, with its settings in a private folder and
// its message boxes recorded instead of shown, or shown for real.
#include <memory>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

#include "app/Form1.h"
#include "app/Util.h"
#include "support/ScriptedHost.h"

namespace vlx::test {

// The real message boxes as the player meets them: records the text of each
// one shown and closes it through its OK button with a click, at once from
// its own event loop, or when the test calls clickOk (after a few seconds
// regardless, so that a box that stalls the program fails a test instead of
// hanging it).
class MessageBoxes : public QObject {
public:
    explicit MessageBoxes(bool closeAtOnce) : closeAtOnce_(closeAtOnce) { qApp->installEventFilter(this); }
    std::vector<std::string> shown;

    static QMessageBox* open() { return qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); }
    static void clickOk(QMessageBox* box) {
        QAbstractButton* ok = box->button(QMessageBox::Ok);
        QTest::mouseClick(box->windowHandle(), Qt::LeftButton, {}, ok->mapTo(box, ok->rect().center()));
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        auto* box = event->type() == QEvent::Show ? qobject_cast<QMessageBox*>(watched) : nullptr;
        if (box) {
            shown.push_back(box->text().toStdString());
            QTimer::singleShot(closeAtOnce_ ? 0 : 3000, box, [box] { clickOk(box); });
        }
        return false;
    }

private:
    bool closeAtOnce_;
};

class FormRig : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        qputenv("HOME", config.path().toUtf8());  // where presets are written for the LV2 plugin
        host->clock = 1000;
    }
    void TearDown() override { form.reset(); }

    // Creates the window, which loads at once.
    Form1& start() {
        form = std::make_unique<Form1>([this] { return host; });
        if (!realMessageBoxes)
            form->setMessageBox([this](const QString& text) { messages.push_back(text.toStdString()); });
        return *form;
    }
    // Runs what the window has queued for its event loop (reports among it).
    static void settle() { QApplication::processEvents(); }

    static void store(const char* name, const Util::Value& value, std::int32_t type) {
        ASSERT_EQ(Util::SetKeyValue(Form1::kKeyPath, name, value, type), 0) << name;
    }
    QString settingsText() const {
        QFile f(Util::KeyFilePath(Form1::kKeyPath));
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QTemporaryDir config;
    std::shared_ptr<ScriptedHost> host = std::make_shared<ScriptedHost>();
    std::unique_ptr<Form1> form;
    std::vector<std::string> messages;
    bool realMessageBoxes = false;  // set before start()
};

using Calls = std::vector<std::string>;

}  // namespace vlx::test
