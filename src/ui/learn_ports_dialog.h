// ui (Qt): `bramblewick --learn-ports` in the window: a dialog over setup::PortLearner, the same
// session the terminal runs. Called by main() on the GUI thread once the QApplication exists.
#pragma once

#include "setup/port_learning.h"

#include <QDialog>
#include <QTimer>

#include <future>
#include <memory>
#include <string>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace ui
{

class LearnPortsDialog : public QDialog
{
  public:
    LearnPortsDialog(std::string mapping_path, const unsigned char *dkb, int dkb_size,
                     QWidget *parent = nullptr);
    ~LearnPortsDialog() override;
    // After exec(): 0 when the mapping was written or nothing was learned, 1 when not written.
    int result_code() const { return result_code_; }

  private:
    void press(setup::LearnKey k);
    void tick();
    void show_lines(const std::vector<std::string> &lines);
    void refresh();
    void finish();

    std::string path_;
    const unsigned char *dkb_;
    int dkb_size_;
    std::unique_ptr<setup::PortLearner> learner_;
    std::future<std::pair<int, std::string>> check_; // the agent check under way
    QTimer timer_;
    QLabel *prompt_ = nullptr;
    QPlainTextEdit *log_ = nullptr;
    QPushButton *take_ = nullptr, *check_button_ = nullptr, *skip_ = nullptr, *end_ = nullptr;
    int result_code_ = 0;
};

// Runs the dialog; returns its result_code(). A mapping file that cannot be written is told in
// a message box before anything is learned (result 1).
int run_learn_ports_dialog(const std::string &mapping_path, const unsigned char *dkb, int dkb_size);

} // namespace ui
