// Vietnamese for Qt's own texts the window shows: the standard buttons of
// its message boxes and the edit menu of its text fields. Qt's translation
// files are used when the system has them; Debian's qttranslations5-l10n
// carries no Vietnamese for these, so the window brings its own.
#pragma once

#include <QTranslator>

class QtTextsVi : public QTranslator {
 public:
  using QTranslator::QTranslator;

  bool isEmpty() const override { return false; }
  QString translate(const char* context, const char* source, const char* disambiguation = nullptr,
                    int n = -1) const override;
};
