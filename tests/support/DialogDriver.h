// Drives a real dialog window the way a user does: clicks its buttons, types into its
// fields, picks list entries, and answers the message boxes it opens.
#pragma once

#include "Dialog.h"

#include <QString>
#include <functional>
#include <string>
#include <vector>

class CLogView;
class QComboBox;
class QLineEdit;
class QPushButton;
class QWidget;

class CDialogDriver {
public:
    // Creates the dialog's window (and so runs its initDialog).
    explicit CDialogDriver(CDialog& dialog);
    // Destroys the window if the test has not.
    ~CDialogDriver();
    CDialogDriver(const CDialogDriver&) = delete;
    CDialogDriver& operator=(const CDialogDriver&) = delete;

    bool created() const { return made; }
    QWidget* window() const;
    QWidget* widget(std::uint16_t id) const;
    QPushButton* button(std::uint16_t id) const;
    QLineEdit* lineEdit(std::uint16_t id) const;
    QComboBox* list(std::uint16_t id) const;
    CLogView* logView(std::uint16_t id) const;

    bool isEnabled(std::uint16_t id) const;
    // The ids of the enabled controls among `ids`, for comparing whole control states.
    std::vector<std::uint16_t> enabledAmong(const std::vector<std::uint16_t>& ids) const;

    // A mouse click on the button's centre, through the window as the system delivers
    // it: a disabled button ignores it, as on screen. Like typing and Enter, it runs the
    // handlers it leads to before returning, unless a handler is running already (the
    // input is then held, as the window holds it).
    void click(std::uint16_t id);
    void type(std::uint16_t id, const QString& text);
    void pressEnter(std::uint16_t id);
    // Typing and Enter through the window to whatever control has the focus, as a user
    // does without clicking first.
    void typeKeys(const QString& text);
    void pressEnterKey();
    void choose(std::uint16_t listId, int index);
    // Runs what the window has queued for the dialog, unless a handler is running.
    void runQueued();
    // The caption bar's close button, and what it leads to.
    void closeWindow();

    // Runs `action`, answering with OK every message box it opens; returns their texts
    // (and checks each has exactly one button).
    std::vector<QString> answeringMessages(const std::function<void()>& action);
    QString lastMessageTitle() const { return messageTitle; }
    // The text beneath the last message's own, where the box gave one.
    QString lastMessageDetail() const { return messageDetail; }
    // Whether every text of the last message was shown as plain text, never as markup.
    bool lastMessageWasPlainText() const { return messagePlain; }

    void destroy();

private:
    CDialog& dialog;
    bool made = false;
    QString messageTitle;
    QString messageDetail;
    bool messagePlain = false;
};
