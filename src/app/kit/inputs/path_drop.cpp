// Drops of a path on a field: an event filter in front of the field's own drag handling.
#include "app/kit/inputs/path_drop.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>
#include <utility>

namespace velquor::app {
namespace {

class PathDropFilter final : public QObject {
public:
    PathDropFilter(QLineEdit* field, DroppedPathKind kind, std::function<void(const QString&)> fill)
        : QObject(field), m_kind(kind), m_fill(std::move(fill)) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::DragEnter:
            case QEvent::DragMove:
                return offer(static_cast<QDragMoveEvent*>(event));
            case QEvent::Drop:
                return take(static_cast<QDropEvent*>(event));
            default:
                return QObject::eventFilter(watched, event);
        }
    }

private:
    // Files and addresses are ours to take or refuse: the field itself would paste their
    // "file://" text. Plain dragged text goes on to the field.
    bool offer(QDragMoveEvent* event) {
        if (!event->mimeData()->hasUrls()) return false;
        if (droppedPath(event->mimeData(), m_kind).isEmpty()) {
            event->ignore();
        } else {
            event->setDropAction(Qt::CopyAction);
            event->accept();
        }
        return true;
    }

    bool take(QDropEvent* event) {
        if (!event->mimeData()->hasUrls()) return false;
        const QString path = droppedPath(event->mimeData(), m_kind);
        if (path.isEmpty()) {
            event->ignore();
            return true;
        }
        event->setDropAction(Qt::CopyAction);
        event->accept();
        m_fill(path);
        return true;
    }

    DroppedPathKind m_kind;
    std::function<void(const QString&)> m_fill;
};

}  // namespace

QString droppedPath(const QMimeData* data, DroppedPathKind kind) {
    if (data == nullptr || !data->hasUrls()) return QString();
    const QList<QUrl> urls = data->urls();
    // One field holds one path: of several files none is better than another.
    if (urls.size() != 1 || !urls.front().isLocalFile()) return QString();
    const QFileInfo info(urls.front().toLocalFile());
    const bool fits = kind == DroppedPathKind::Folder ? info.isDir() : info.isFile();
    return fits ? info.absoluteFilePath() : QString();
}

void acceptPathDrops(QLineEdit* field, DroppedPathKind kind,
                     std::function<void(const QString&)> fill) {
    field->setAcceptDrops(true);
    field->installEventFilter(new PathDropFilter(field, kind, std::move(fill)));
}

}  // namespace velquor::app
