#pragma once

#include <QWidget>

class QPushButton;

namespace quorell {

// The About box: created hidden at start-up, shown without being modal, hidden again by OK.
class TForm3 : public QWidget {
public:
    explicit TForm3(QWidget* parent = nullptr);

    QPushButton* OKButton;

    void ShowAbout();
    void OKButtonClick();

protected:
    void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace quorell
