#include "DialogDriver.h"

#include "DialogWindow.h"
#include "LogView.h"

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
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
    auto* native = static_cast<CDialogWindow*>(dialog.native());
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
    QTest::mouseClick(target, Qt::LeftButton, {}, target->rect().center());
}

void CDialogDriver::type(std::uint16_t id, const QString& text)
{
    QWidget* target = widget(id);
    ASSERT_NE(target, nullptr) << "no control " << id;
    target->setFocus();
    // One key event per character, carrying its text as a keyboard or input method
    // would, so characters outside ASCII are typed too.
    for (qsizetype i = 0; i < text.size(); ++i) {
        QString character = text.mid(i, text.at(i).isHighSurrogate() ? 2 : 1);
        i += character.size() - 1;
        QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, character);
        QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, character);
        QApplication::sendEvent(target, &press);
        QApplication::sendEvent(target, &release);
    }
}

void CDialogDriver::pressEnter(std::uint16_t id)
{
    QWidget* target = widget(id);
    ASSERT_NE(target, nullptr) << "no control " << id;
    QTest::keyClick(target, Qt::Key_Return);
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
