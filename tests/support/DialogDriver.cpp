#include "DialogDriver.h"

#include "DialogWindow.h"
#include "DialogWindowProbe.h"
#include "LogView.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <gtest/gtest.h>

CDialogDriver::CDialogDriver(CDialog& target)
    : dialog(target)
{
    made = dialog.create();
}

CDialogDriver::~CDialogDriver()
{
    destroy();
}

void CDialogDriver::destroy()
{
    if (dialog.native())
        dialog.destroyWindow();
}

QWidget* CDialogDriver::window() const
{
    return dialog.native() ? dialog.native()->widget() : nullptr;
}

QWidget* CDialogDriver::widget(std::uint16_t id) const
{
    CDialogWindow* native = dialogWindowOf(dialog);
    CControlWindow* control = native ? native->control(id) : nullptr;
    return control ? control->widget() : nullptr;
}

QPushButton* CDialogDriver::button(std::uint16_t id) const
{
    return qobject_cast<QPushButton*>(widget(id));
}
QLineEdit* CDialogDriver::lineEdit(std::uint16_t id) const
{
    return qobject_cast<QLineEdit*>(widget(id));
}
QComboBox* CDialogDriver::list(std::uint16_t id) const
{
    return qobject_cast<QComboBox*>(widget(id));
}
CLogView* CDialogDriver::logView(std::uint16_t id) const
{
    return qobject_cast<CLogView*>(widget(id));
}

bool CDialogDriver::isEnabled(std::uint16_t id) const
{
    QWidget* w = widget(id);
    return w && w->isEnabled();
}

std::vector<std::uint16_t> CDialogDriver::enabledAmong(const std::vector<std::uint16_t>& ids) const
{
    std::vector<std::uint16_t> enabled;
    for (std::uint16_t id : ids)
        if (isEnabled(id))
            enabled.push_back(id);
    return enabled;
}

void CDialogDriver::click(std::uint16_t id)
{
    QPushButton* target = button(id);
    ASSERT_NE(target, nullptr) << "no button " << id;
    QTest::mouseClick(window()->windowHandle(), Qt::LeftButton, {},
        target->mapTo(window(), target->rect().center()));
    runQueued();
}

void CDialogDriver::closeWindow()
{
    window()->close();
    runQueued();
}

void CDialogDriver::runQueued()
{
    CDialogWindowProbe::runQueued(dialog);
}

void CDialogDriver::type(std::uint16_t id, const QString& text)
{
    QWidget* target = widget(id);
    ASSERT_NE(target, nullptr) << "no control " << id;
    target->setFocus();
    typeKeys(text);
}

void CDialogDriver::typeKeys(const QString& text)
{
    QWindow* handle = window()->windowHandle();
    // One key event per character, carrying its text as a keyboard or input method
    // would, so characters outside ASCII are typed too.
    for (qsizetype i = 0; i < text.size(); ++i) {
        QString character = text.mid(i, text.at(i).isHighSurrogate() ? 2 : 1);
        i += character.size() - 1;
        qt_handleKeyEvent(handle, QEvent::KeyPress, 0, Qt::NoModifier, character);
        qt_handleKeyEvent(handle, QEvent::KeyRelease, 0, Qt::NoModifier, character);
    }
    runQueued();
}

void CDialogDriver::pressEnter(std::uint16_t id)
{
    QWidget* target = widget(id);
    ASSERT_NE(target, nullptr) << "no control " << id;
    target->setFocus();
    pressEnterKey();
}

void CDialogDriver::pressEnterKey()
{
    QTest::keyClick(window()->windowHandle(), Qt::Key_Return);
    runQueued();
}

void CDialogDriver::choose(std::uint16_t listId, int index)
{
    QComboBox* target = list(listId);
    ASSERT_NE(target, nullptr) << "no list " << listId;
    // As a user picking from the dropped-down list does.
    target->setCurrentIndex(index);
    emit target->activated(index);
}

std::vector<QString> CDialogDriver::answeringMessages(const std::function<void()>& action)
{
    std::vector<QString> texts;
    QTimer watcher;
    watcher.setInterval(5);
    QObject::connect(&watcher, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        texts.push_back(box->text());
        messageTitle = box->windowTitle();
        messageDetail = box->informativeText();
        messagePlain = true;
        for (auto* label : box->findChildren<QLabel*>())
            if (!label->text().isEmpty() && label->textFormat() != Qt::PlainText)
                messagePlain = false;
        EXPECT_EQ(box->buttons().size(), 1) << "a message box with one OK button";
        if (QAbstractButton* ok = box->button(QMessageBox::Ok))
            ok->click();
        else
            box->close();
    });
    watcher.start();
    action();
    watcher.stop();
    return texts;
}
