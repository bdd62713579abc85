#pragma once

class QFrame;
class QString;
class QVBoxLayout;
class QWidget;

// A titled white card (object names "card", "cardTitle", "cardBody", which the window's style
// sheet selects on); the caller fills the body layout handed back through body.
QFrame *buildCard(const QString &title, QWidget *parent, QVBoxLayout **body);
