// The efektor list inside a stand-in main window (the "sendPhase" property and the
// "midiNoteEnable" box that a solo switches), on an engine bridge whose MIDI is captured.
#pragma once

#include "Efektor.h"
#include "EfektorList.h"
#include "efektor_support.h"

#include <QCheckBox>
#include <QListWidget>
#include <QPushButton>
#include <QWidget>

#include <memory>

class EfektorListTest : public EfektorEngineTest {
protected:
    void SetUp() override {
        EfektorEngineTest::SetUp();
        mainWindow = std::make_unique<QWidget>();
        noteBox = new QCheckBox(mainWindow.get());
        noteBox->setObjectName("midiNoteEnable");
        noteBox->setChecked(true);
        mainWindow->setProperty("sendPhase", true);
        list = new EfektorList(&bridge, mainWindow.get(), nullptr);
        rows = list->findChild<QListWidget*>("efektorListWidget");
        ASSERT_NE(rows, nullptr);
    }
    void TearDown() override {
        // The list and its efektors go before the engine they are registered with.
        mainWindow.reset();
        EfektorEngineTest::TearDown();
    }

    QPushButton* sceneButton(int scene) const {
        return list->findChild<QPushButton*>(QString("sceneButton_%1").arg(scene));
    }
    QStringList rowTexts() const {
        QStringList texts;
        for (int i = 0; i < rows->count(); ++i)
            texts << rows->item(i)->text();
        return texts;
    }
    Efektor* add(int type, bool enabled = false) {
        Efektor* efektor = list->addEfektor(type);
        if (efektor && enabled)
            efektor->on_enabledCheckBox_clicked(true);
        return efektor;
    }

    std::unique_ptr<QWidget> mainWindow;
    QCheckBox* noteBox = nullptr;
    EfektorList* list = nullptr;
    QListWidget* rows = nullptr;
};
