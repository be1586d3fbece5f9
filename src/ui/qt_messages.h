// ui (Qt): operator messages as modal message boxes. Used by main() for the windowed program
// and by the station window's close request.
#pragma once

#include "ui/operator_messages.h"

class QWidget;

namespace ui
{

class QtMessages : public OperatorMessages
{
  public:
    // owner: the window that owns the boxes (null at start-up, before the window exists).
    explicit QtMessages(QWidget *owner = nullptr) : owner_(owner) {}
    void set_owner(QWidget *owner) { owner_ = owner; }

    void show(const std::string &text, const std::string &caption, MessageIcon icon) override;
    bool ask_yes_no(const std::string &text, const std::string &caption) override;

  private:
    QWidget *owner_;
};

} // namespace ui
