#ifndef ZIPWINDOW_H
#define ZIPWINDOW_H

#include <QString>
#include <QStringList>
#include <QWidget>

class Ui_zipwindow;

// The hidden converter: turns a folder of raw per-board firmware files into a ".vkt" package beside it.
class zipwindow : public QWidget
{
    Q_OBJECT

public:
    explicit zipwindow(QWidget* parent = nullptr);
    ~zipwindow() override;

    // Empties the three texts on show; the chosen folder is kept for the next conversion.
    void clear_fields();

private slots:
    void on_searchButton_clicked();
    void on_convertButton_clicked();
    bool rewrite_files();

private:
    // A hint in the one-line label, followed by the names of the files it concerns when there are any.
    void show_hint(const QString& hint, const QString& names = QString());
    // Signs the package written with the user's signing key, when there is one.
    void sign_package(const QString& package_path);
    // Says which files a failure after the checks has already rewritten.
    void show_changed(const QStringList& names);

    Ui_zipwindow* ui;
    QString folder_path;
    // The files the last successful rewrite checked and rewrote: exactly what goes into the package.
    QStringList rewritten_paths;
};

#endif // ZIPWINDOW_H
