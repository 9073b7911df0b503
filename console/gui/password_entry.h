// The masked entry shared by the two password dialogs.
#pragma once

class QLineEdit;
class QWidget;

/// A masked entry of at most 32 printable ASCII characters. Other
/// characters would take several bytes each, and a sealed password longer
/// than 64 digits could not be read back from the settings.
QLineEdit* NewPasswordEntry(QWidget* parent);
