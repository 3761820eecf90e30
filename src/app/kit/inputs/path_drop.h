// Paths by drag and drop: a file (or a folder) dropped from the desktop's file manager on a
// path field fills it as its Browse button would. Fields that take no typing (the Input File
// field) stay closed to typing; they only gain the drop.
#pragma once

#include <QObject>
#include <QString>
#include <functional>

class QLineEdit;
class QMimeData;

namespace velquor::app {

enum class DroppedPathKind { File, Folder };

// The single local path of the kind asked for that mime data carries, or an empty text when it
// carries anything else (several files, a web address, a folder where a file is wanted).
QString droppedPath(const QMimeData* data, DroppedPathKind kind);

// Makes field take drops of one path of that kind; fill receives the local path and does what
// the field's Browse does with a chosen one. Other drops are refused as the field would refuse
// them (an editable field still takes dragged text).
void acceptPathDrops(QLineEdit* field, DroppedPathKind kind,
                     std::function<void(const QString&)> fill);

}  // namespace velquor::app
