#pragma once

#include <QString>
#include <QStringList>
#include <memory>
#include <utility>

#include "app/sound_devices.h"
#include "audio/wave_format.h"

class QWidget;

namespace quorell {

// Every box and dialog that needs a person. The program shows Qt dialogs; tests answer from a
// script. All calls happen on the user-interface thread.
class IDialogs {
public:
    virtual ~IDialogs() = default;

    // "无法到达对方，请确认IP地址是否正确", caption "确认", error icon, one OK button.
    virtual void UnreachablePeerBox() = 0;
    // The text, the application title as caption, no icon, one OK button.
    virtual void PlainBox(const QString& text) = 0;
    // A failure no handler caught: its message, the application title, error icon.
    virtual void StandardErrorBox(const QString& message) = 0;
    // The open-file dialog; an empty text when the user cancels.
    virtual QString OpenFileName() = 0;
    // The save-file dialog (overwrite prompt on) starting from a suggested name; empty on cancel.
    virtual QString SaveFileName(const QString& suggested) = 0;
    // The open-file dialog taking several files; empty when the user cancels.
    virtual QStringList OpenFileNames() = 0;
    // The folder dialog opening at `start`; an empty text when the user cancels.
    virtual QString ExistingFolder(const QString& start) = 0;
    // A question with yes and no (no is the default); true only on a clear yes.
    virtual bool AskYesNo(const QString& text) = 0;
    // The modal wave format chooser, opening on format. On OK it writes the chosen record into
    // format and returns true; false when the user cancels.
    virtual bool ChooseFormat(WaveFormat& format) = 0;
    // The text, caption "确认", error icon, one OK button.
    virtual void ConfirmErrorBox(const QString& text) = 0;
    // Asks whether the user compared the verification code with the peer's and found it the
    // same; true only on a clear yes.
    virtual bool ConfirmVerification(const QString& code) = 0;
    // The warning that the peer's key is not the one on record: critical icon, one OK button.
    virtual void KeyChangedBox(const QString& peer_name) = 0;
    // The save dialog of a history export, offering plain text (.txt) and a web page (.html);
    // the chosen path with the chosen kind's suffix, empty on cancel.
    virtual QString ExportFileName(const QString& suggested) = 0;
    // Asks for one line of text under the label; empty on cancel.
    virtual QString AskText(const QString& label) = 0;
};

// The text of the key-changed warning.
QString KeyChangedText(const QString& peer_name);

// Where the save dialog opens: the proposed file name (its last part only) in the user's
// download folder, or in the home folder when that folder does not exist.
QString SaveDialogStartPath(const QString& proposed);
// The user's download folder, or the home folder when that folder does not exist.
QString DownloadFolder();

// Modal Qt boxes over the given window.
class QtDialogs : public IDialogs {
public:
    explicit QtDialogs(QWidget* owner = nullptr) : owner_(owner) {}
    void SetOwner(QWidget* owner) { owner_ = owner; }
    // The format chooser also offers the microphone and the speaker, and writes the pick here.
    void SetSoundDevices(std::shared_ptr<SoundDeviceChoice> devices) {
        sound_devices_ = std::move(devices);
    }

    void UnreachablePeerBox() override;
    void PlainBox(const QString& text) override;
    void StandardErrorBox(const QString& message) override;
    QString OpenFileName() override;
    QString SaveFileName(const QString& suggested) override;
    QStringList OpenFileNames() override;
    QString ExistingFolder(const QString& start) override;
    bool AskYesNo(const QString& text) override;
    bool ChooseFormat(WaveFormat& format) override;
    void ConfirmErrorBox(const QString& text) override;
    bool ConfirmVerification(const QString& code) override;
    void KeyChangedBox(const QString& peer_name) override;
    QString ExportFileName(const QString& suggested) override;
    QString AskText(const QString& label) override;

private:
    QWidget* owner_;
    std::shared_ptr<SoundDeviceChoice> sound_devices_;
};

}  // namespace quorell
