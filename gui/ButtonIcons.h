#pragma once

#include <QIcon>

namespace vorel {

// The main window's picture buttons: a white sign on a coloured disc, drawn
// here so that they read the same on a light or a dark palette and none looks
// disabled.
enum class ButtonIcon { Setup, Autoresponders, MailingLists, RunMailer, About, Exit, Taskbar };

QIcon buttonIcon(ButtonIcon which);

}  // namespace vorel
