// ui (Qt): the --learn-ports dialog (see learn_ports_dialog.h). Everything runs on the GUI
// thread but the agent check, which runs on a thread of its own while a timer watches it.
#include "learn_ports_dialog.h"

#include "setup/mapping_file.h"
#include "usb/usb.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <chrono>

namespace ui
{

LearnPortsDialog::LearnPortsDialog(std::string mapping_path, const unsigned char *dkb, int dkb_size,
                                   QWidget *parent)
    : QDialog(parent), path_(std::move(mapping_path)), dkb_(dkb), dkb_size_(dkb_size)
{
    setWindowTitle("Learn the fixture ports");
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(QString::fromStdString(
        "Plug a phone in boot ROM download mode into each fixture in turn.\nThe mapping goes to " +
        path_ + ". Phones already plugged in count once they are re-plugged.")));
    prompt_ = new QLabel;
    prompt_->setWordWrap(true);
    QFont bold = prompt_->font();
    bold.setBold(true);
    prompt_->setFont(bold);
    layout->addWidget(prompt_);
    log_ = new QPlainTextEdit;
    log_->setReadOnly(true);
    log_->setMinimumSize(560, 240);
    layout->addWidget(log_);
    auto *buttons = new QHBoxLayout;
    take_ = new QPushButton("&Take");
    check_button_ = new QPushButton("Check the &agent");
    skip_ = new QPushButton("&Skip fixture");
    end_ = new QPushButton("&End");
    take_->setDefault(true); // Enter takes, as on the terminal
    for (QPushButton *b : {take_, check_button_, skip_, end_})
        buttons->addWidget(b);
    layout->addLayout(buttons);
    connect(take_, &QPushButton::clicked, this, [this] { press(setup::LearnKey::Take); });
    connect(check_button_, &QPushButton::clicked, this,
            [this] { press(setup::LearnKey::AgentCheck); });
    connect(skip_, &QPushButton::clicked, this, [this] { press(setup::LearnKey::Skip); });
    connect(end_, &QPushButton::clicked, this, [this] { press(setup::LearnKey::Quit); });

    std::vector<std::string> paths;
    usb_enumerate(&paths);
    learner_ = std::make_unique<setup::PortLearner>(paths);
    connect(&timer_, &QTimer::timeout, this, [this] { tick(); });
    timer_.start(100);
    refresh();
}

LearnPortsDialog::~LearnPortsDialog()
{
    if (check_.valid())
        check_.wait(); // the check's thread reads dkb_ and the path
}

void LearnPortsDialog::show_lines(const std::vector<std::string> &lines)
{
    for (const std::string &l : lines)
        log_->appendPlainText(QString::fromStdString(l));
}

void LearnPortsDialog::refresh()
{
    using S = setup::PortLearner;
    prompt_->setText(QString::fromStdString(learner_->prompt()));
    const bool found = learner_->state() == S::PhoneFound;
    const bool busy = learner_->state() == S::CheckingAgent;
    take_->setEnabled(found);
    check_button_->setEnabled(found);
    skip_->setEnabled(!busy);
    end_->setEnabled(!busy);
}

void LearnPortsDialog::press(setup::LearnKey k)
{
    show_lines(learner_->key(k));
    if (learner_->state() == setup::PortLearner::CheckingAgent) {
        std::string path = learner_->found_path();
        const unsigned char *dkb = dkb_;
        int size = dkb_size_;
        check_ = std::async(std::launch::async, [path, dkb, size] {
            std::string port;
            int rc = setup::agent_check(path, dkb, size, 10000, &port);
            return std::make_pair(rc, port);
        });
    }
    refresh();
    if (learner_->state() == setup::PortLearner::Done)
        finish();
}

void LearnPortsDialog::tick()
{
    if (check_.valid()) {
        if (check_.wait_for(std::chrono::seconds(0)) != std::future_status::ready)
            return;
        auto [rc, port] = check_.get();
        show_lines(learner_->agent_checked(rc, port));
        refresh();
        return;
    }
    std::vector<std::string> paths;
    if (usb_enumerate(&paths) == 0) {
        std::vector<std::string> lines = learner_->poll(paths);
        if (!lines.empty()) {
            show_lines(lines);
            refresh();
        }
    }
}

void LearnPortsDialog::finish()
{
    timer_.stop();
    const std::vector<setup::PortEntry> &entries = learner_->entries();
    if (entries.empty()) {
        QMessageBox::information(
            this, "Learn the fixture ports",
            QString::fromStdString("Nothing learned: " + path_ + " is left as it was."));
        accept();
        return;
    }
    std::string text = "The mapping:\n";
    for (const std::string &l : setup::describe_mapping(entries))
        text += "  " + l + "\n";
    std::string backup, error;
    if (setup::write_port_mapping(path_, entries, &backup, &error) != 0) {
        result_code_ = 1;
        log_->appendPlainText(QString::fromStdString(
            "\nThe mapping, to write by hand:\n" + setup::format_port_mapping(entries, "by hand")));
        QMessageBox::critical(this, "Error", QString::fromStdString(text + "\n" + error));
        return; // the dialog stays, so the text above can be copied
    }
    text += "\nWritten to " + path_;
    if (!backup.empty())
        text += " (the previous one is kept as " + backup + ")";
    QMessageBox::information(this, "Learn the fixture ports", QString::fromStdString(text + "."));
    accept();
}

int run_learn_ports_dialog(const std::string &mapping_path, const unsigned char *dkb, int dkb_size)
{
    std::string error;
    if (setup::check_mapping_writable(mapping_path, &error) != 0) {
        QMessageBox::critical(nullptr, "Error", QString::fromStdString(error));
        return 1;
    }
    LearnPortsDialog dialog(mapping_path, dkb, dkb_size);
    dialog.exec();
    return dialog.result_code();
}

} // namespace ui
