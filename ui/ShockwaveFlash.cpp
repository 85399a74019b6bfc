#include "ui/ShockwaveFlash.h"

#include <QFileInfo>
#include <QImageReader>
#include <QMovie>
#include <QUrl>

#include "engine/Common.h"
#include "engine/Gbk.h"

CShockwaveFlash::CShockwaveFlash(QWidget* parent) : QLabel(parent) {
  setScaledContents(true);
  setAlignment(Qt::AlignCenter);
}

bool CShockwaveFlash::Create(const QRect& rect, QWidget* parent, int id) {
  setParent(parent);
  setObjectName(QStringLiteral("banner%1").arg(id));
  setGeometry(rect);
  show();
  return true;
}

bool CShockwaveFlash::IsBlank() const { return !m_pMovie && pixmap().isNull(); }

void CShockwaveFlash::SetMovie(const std::string& movie) {
  if (m_pMovie) {
    setMovie(nullptr);
    delete m_pMovie;
    m_pMovie = nullptr;
  }
  clear();
  QString path = QString::fromStdString(GbkToUtf8(movie)).trimmed();
  if (path.isEmpty()) return;
  if (path.startsWith(QLatin1String("file:"), Qt::CaseInsensitive)) path = QUrl(path).toLocalFile();
  if (QFileInfo(path).isRelative()) path = QString::fromStdString(GetAppDirectory()) + "/" + path;

  QImageReader reader(path);
  if (reader.supportsAnimation() && reader.imageCount() != 1) {
    auto* player = new QMovie(path, QByteArray(), this);
    // A header alone passes isValid(); only a decoded first frame counts.
    if (player->isValid() && player->jumpToFrame(0) && !player->currentImage().isNull()) {
      m_pMovie = player;
      setMovie(player);
      player->start();
      return;
    }
    delete player;
  }
  const QPixmap still(path);
  if (!still.isNull()) setPixmap(still);
}
