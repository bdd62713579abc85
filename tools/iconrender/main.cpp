// fwiconrender: renders the tool's SVG icon into the PNG sizes of an icon theme, at build time.
// Usage: fwiconrender SVG OUTDIR NAME SIZE... writes OUTDIR/<SIZE>x<SIZE>/apps/NAME.png.

#include <QDir>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc < 5) {
        std::fputs("usage: fwiconrender SVG OUTDIR NAME SIZE...\n", stderr);
        return 2;
    }
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "fwiconrender: cannot read %s as SVG\n", argv[1]);
        return 1;
    }
    const QDir out(QString::fromLocal8Bit(argv[2]));
    const QString name = QString::fromLocal8Bit(argv[3]);
    for (int i = 4; i < argc; ++i) {
        bool ok = false;
        const int size = QString::fromLocal8Bit(argv[i]).toInt(&ok);
        if (!ok || size < 1 || size > 1024) {
            std::fprintf(stderr, "fwiconrender: %s is not a size from 1 to 1024\n", argv[i]);
            return 2;
        }
        const QString folder = QStringLiteral("%1x%1/apps").arg(size);
        const QString path =
            out.filePath(folder + QLatin1Char('/') + name + QStringLiteral(".png"));
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        renderer.render(&painter);
        painter.end();
        if (!out.mkpath(folder) || !image.save(path)) {
            std::fprintf(stderr, "fwiconrender: cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    return 0;
}
