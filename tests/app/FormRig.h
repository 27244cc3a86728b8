#pragma once
// A window on the scripted host, with its settings in a private folder and
// its message boxes recorded instead of shown.
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include "app/Form1.h"
#include "app/Util.h"
#include "support/ScriptedHost.h"

namespace vlx::test {

class FormRig : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(config.isValid());
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        host->clock = 1000;
    }
    void TearDown() override { form.reset(); }

    // Creates the window, which loads at once.
    Form1& start() {
        form = std::make_unique<Form1>([this] { return host; });
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
};

using Calls = std::vector<std::string>;

}  // namespace vlx::test
