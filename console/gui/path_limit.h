// The longest file path the window takes: what the settings keep whole.
#pragma once

class QString;

/// Bytes of a path that the settings keep whole.
constexpr int kMaxPathBytes = 260;

/// True when `path` fits in kMaxPathBytes. Otherwise tells the operator
/// and returns false: a path cut to fit would name another file (and a
/// file opened for writing would be created under that name).
bool PathFitsSettings(const QString& path);
