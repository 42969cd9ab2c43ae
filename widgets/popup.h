#ifndef POPUP_H
#define POPUP_H

#include <QString>
#include <QWidget>

namespace Ui
{
class PopUp;
}

// The warning that stands between opening a package and starting the update; pressing
// "Iniciar" is the operator's consent, and its started flag is the update's on/off switch.
class PopUp : public QWidget
{
    Q_OBJECT

public:
    explicit PopUp(QWidget* parent = nullptr);
    ~PopUp() override;
    PopUp(const PopUp&) = delete;
    PopUp& operator=(const PopUp&) = delete;

    void show_board(QString text);
    // A verified signature's trusted comment, on one line above the button (cut with "…", whole in its tooltip);
    // empty leaves the line blank.
    void show_signer(const QString& comment);
    bool is_started() const { return started; }
    void set_started(bool value) { started = value; }
    void set_init_enabled(bool enabled);

signals:
    void init(int button);

private slots:
    void on_initButton_clicked();

private:
    Ui::PopUp* ui;
    bool started = false;
};

#endif // POPUP_H
