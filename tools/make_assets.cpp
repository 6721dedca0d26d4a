// Writes the program's generated assets into a directory:
//   Sound.WAV        the incoming-message chime (16-bit mono PCM, 22050 Hz)
//   placeholder.png  the idle picture of the peer-video area (200 x 165)
//   quorell.png      the application icon (128 x 128, transparent background)
//   icons/           the icon at the theme's other sizes (quorell-<n>.png) and as quorell.svg
//
// Usage: make_assets <output-directory>
// The output is deterministic, so regenerating without changes leaves the committed files alone.

#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QStringList>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <string>
#include <vector>

namespace {

// ---- chime ----------------------------------------------------------------

constexpr int kSampleRate = 22050;
constexpr double kDurationSeconds = 0.8;
constexpr double kAttackSeconds = 0.008;   // raised-cosine fade-in, avoids a click at the start
constexpr double kReleaseSeconds = 0.080;  // raised-cosine fade-out, ends exactly at silence
constexpr double kPeak = 0.5;              // about -6 dBFS: audible without being shrill

struct Partial {
    double frequency;  // Hz
    double amplitude;  // relative
    double decay;      // exponential decay rate, 1/s
};

// A struck-glass timbre on C6: the fundamental rings longest, the octave and the twelfth
// give the strike its brightness and die away quickly.
constexpr Partial kPartials[] = {
    {1046.50, 1.00, 5.0},
    {2093.00, 0.45, 9.0},
    {3139.50, 0.20, 14.0},
};

std::vector<int16_t> SynthesiseChime() {
    const int n = static_cast<int>(std::lround(kDurationSeconds * kSampleRate));
    std::vector<double> mix(n);
    double peak = 0.0;
    for (int i = 0; i < n; ++i) {
        const double t = static_cast<double>(i) / kSampleRate;
        double v = 0.0;
        for (const Partial& p : kPartials)
            v += p.amplitude * std::exp(-p.decay * t) *
                 std::sin(2.0 * std::numbers::pi * p.frequency * t);
        double envelope = 1.0;
        if (t < kAttackSeconds)
            envelope = 0.5 - 0.5 * std::cos(std::numbers::pi * t / kAttackSeconds);
        const double untilEnd = static_cast<double>(n - 1 - i) / kSampleRate;
        if (untilEnd < kReleaseSeconds)
            envelope *= 0.5 - 0.5 * std::cos(std::numbers::pi * untilEnd / kReleaseSeconds);
        mix[i] = v * envelope;
        peak = std::max(peak, std::abs(mix[i]));
    }
    std::vector<int16_t> samples(n);
    const double scale = peak > 0.0 ? kPeak * 32767.0 / peak : 0.0;
    for (int i = 0; i < n; ++i) samples[i] = static_cast<int16_t>(std::lround(mix[i] * scale));
    return samples;
}

void PutLe(std::string& out, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// Canonical 44-byte RIFF/WAVE header followed by the little-endian samples.
std::string EncodeWav(const std::vector<int16_t>& samples) {
    constexpr uint32_t kChannels = 1, kBits = 16;
    constexpr uint32_t kBlockAlign = kChannels * kBits / 8;
    const uint32_t dataBytes = static_cast<uint32_t>(samples.size()) * kBlockAlign;
    std::string out;
    out += "RIFF";
    PutLe(out, 36 + dataBytes, 4);
    out += "WAVE";
    out += "fmt ";
    PutLe(out, 16, 4);
    PutLe(out, 1, 2);  // PCM
    PutLe(out, kChannels, 2);
    PutLe(out, kSampleRate, 4);
    PutLe(out, kSampleRate * kBlockAlign, 4);
    PutLe(out, kBlockAlign, 2);
    PutLe(out, kBits, 2);
    out += "data";
    PutLe(out, dataBytes, 4);
    for (int16_t s : samples) PutLe(out, static_cast<uint16_t>(s), 2);
    return out;
}

// ---- pictures -------------------------------------------------------------

// A video camera seen from the side: a rounded body with a lens, and the trapezoid
// of the viewfinder cone to its right. `box` is the area the glyph fills.
void DrawCamera(QPainter& p, const QRectF& box, const QColor& colour) {
    const double w = box.width(), h = box.height();
    const QRectF body(box.left(), box.top() + h * 0.1, w * 0.68, h * 0.8);
    QPainterPath path;
    path.addRoundedRect(body, h * 0.16, h * 0.16);
    QPolygonF cone;
    cone << QPointF(body.right() + w * 0.03, box.top() + h * 0.5 - h * 0.16)
         << QPointF(box.right(), box.top() + h * 0.18)
         << QPointF(box.right(), box.bottom() - h * 0.18)
         << QPointF(body.right() + w * 0.03, box.top() + h * 0.5 + h * 0.16);
    path.addPolygon(cone);
    path.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(colour);
    p.drawPath(path);

    // Lens: a darker ring on the body, with a small highlight.
    const QPointF centre = body.center();
    const double r = h * 0.26;
    p.setBrush(QColor(0, 0, 0, 70));
    p.drawEllipse(centre, r, r);
    p.setBrush(colour);
    p.drawEllipse(centre, r * 0.62, r * 0.62);
    p.setBrush(QColor(255, 255, 255, 150));
    p.drawEllipse(centre + QPointF(-r * 0.22, -r * 0.22), r * 0.16, r * 0.16);
}

QImage MakePlaceholder() {
    constexpr int kWidth = 200, kHeight = 165;
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    QLinearGradient background(0, 0, 0, kHeight);
    background.setColorAt(0.0, QColor(0x2b, 0x4a, 0x6f));
    background.setColorAt(1.0, QColor(0x1d, 0x6b, 0x72));
    p.fillRect(image.rect(), background);

    // A soft light behind the glyph.
    QRadialGradient glow(QPointF(kWidth / 2.0, 68), 80);
    glow.setColorAt(0.0, QColor(255, 255, 255, 40));
    glow.setColorAt(1.0, QColor(255, 255, 255, 0));
    p.fillRect(image.rect(), glow);

    DrawCamera(p, QRectF(64, 44, 72, 46), QColor(0xe8, 0xf1, 0xf4, 220));

    QFont font("WenQuanYi Micro Hei");
    font.setPixelSize(13);
    p.setFont(font);
    p.setPen(QColor(0xd5, 0xe4, 0xea, 210));
    p.drawText(QRectF(0, 104, kWidth, 24), Qt::AlignCenter, QString::fromUtf8("等待对方视频"));

    // A thin inner frame so the stretched picture still reads as a screen.
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(255, 255, 255, 45), 1));
    p.drawRect(QRectF(0.5, 0.5, kWidth - 1, kHeight - 1));
    return image;
}

// A speech bubble: rounded body with a tail at the lower left or lower right.
QPainterPath Bubble(const QRectF& body, bool tailLeft) {
    QPainterPath path;
    const double radius = body.height() * 0.36;
    path.addRoundedRect(body, radius, radius);
    QPainterPath tail;
    const double x =
        tailLeft ? body.left() + body.width() * 0.22 : body.right() - body.width() * 0.22;
    const double dir = tailLeft ? -1.0 : 1.0;
    tail.moveTo(x - dir * body.width() * 0.08, body.bottom() - 4);
    tail.lineTo(x + dir * body.width() * 0.14, body.bottom() - 4);
    tail.lineTo(x - dir * body.width() * 0.06, body.bottom() + body.height() * 0.3);
    tail.closeSubpath();
    return path.united(tail);
}

// The icon on a 128-unit square: the other person's bubble at the upper left, one's own at the
// lower right with three dots of a message being typed. The PNG sizes and the SVG draw the same.
constexpr double kIconUnits = 128;
const QRectF kBackBubble(8, 14, 76, 54);
const QRectF kFrontBubble(42, 50, 78, 54);
const QColor kBackTop(0x4f, 0x9d, 0xe8), kBackBottom(0x2f, 0x73, 0xc4);
const QColor kFrontTop(0x4c, 0xc9, 0x9a), kFrontBottom(0x25, 0x9a, 0x74);
constexpr double kOutline = 4;
constexpr int kDotAlpha = 235;
constexpr double kDotRadius = 5.5;
QPointF Dot(int i) {
    return QPointF(63 + i * 18, 77);
}

// Sizes of the icon theme besides 128, the size of quorell.png.
constexpr int kIconSizes[] = {16, 22, 24, 32, 48, 64, 256};

QImage MakeIcon(int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / kIconUnits, size / kIconUnits);

    QLinearGradient backFill(0, kBackBubble.top(), 0, kBackBubble.bottom());
    backFill.setColorAt(0.0, kBackTop);
    backFill.setColorAt(1.0, kBackBottom);
    p.setPen(Qt::NoPen);
    p.setBrush(backFill);
    p.drawPath(Bubble(kBackBubble, true));

    // The light outline separates the two.
    QLinearGradient frontFill(0, kFrontBubble.top(), 0, kFrontBubble.bottom());
    frontFill.setColorAt(0.0, kFrontTop);
    frontFill.setColorAt(1.0, kFrontBottom);
    p.setPen(QPen(QColor(255, 255, 255), kOutline, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(frontFill);
    p.drawPath(Bubble(kFrontBubble, false));

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, kDotAlpha));
    for (int i = 0; i < 3; ++i) p.drawEllipse(Dot(i), kDotRadius, kDotRadius);
    return image;
}

QString SvgNumber(double v) {
    return QString::number(std::round(v * 1000) / 1000, 'g', 10);
}

// The path as SVG path data: moves, lines and cubic curves.
QString SvgPathData(const QPainterPath& path) {
    QStringList parts;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        const QString point = SvgNumber(e.x) + ' ' + SvgNumber(e.y);
        if (e.isMoveTo()) {
            parts << 'M' + point;
        } else if (e.isLineTo()) {
            parts << 'L' + point;
        } else if (e.isCurveTo()) {
            parts << 'C' + point;
        } else {
            parts << point;  // the curve's second control point and end point
        }
    }
    return parts.join(' ') + " Z";
}

QString SvgGradient(const char* id, const QRectF& body, const QColor& top, const QColor& bottom) {
    return QStringLiteral(
               "  <linearGradient id=\"%1\" gradientUnits=\"userSpaceOnUse\" x1=\"0\" y1=\"%2\" "
               "x2=\"0\" y2=\"%3\">\n    <stop offset=\"0\" stop-color=\"%4\"/>\n"
               "    <stop offset=\"1\" stop-color=\"%5\"/>\n  </linearGradient>\n")
        .arg(QLatin1String(id), SvgNumber(body.top()), SvgNumber(body.bottom()), top.name(),
             bottom.name());
}

std::string MakeIconSvg() {
    const QPainterPath back = Bubble(kBackBubble, true);
    const QPainterPath front = Bubble(kFrontBubble, false);
    auto rule = [](const QPainterPath& path) {
        return QLatin1String(path.fillRule() == Qt::WindingFill ? "nonzero" : "evenodd");
    };
    QString svg = QStringLiteral(
                      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%1\" height=\"%1\" "
                      "viewBox=\"0 0 %1 %1\">\n<defs>\n")
                      .arg(SvgNumber(kIconUnits));
    svg += SvgGradient("back", kBackBubble, kBackTop, kBackBottom);
    svg += SvgGradient("front", kFrontBubble, kFrontTop, kFrontBottom);
    svg += QStringLiteral("</defs>\n<path fill=\"url(#back)\" fill-rule=\"%1\" d=\"%2\"/>\n")
               .arg(rule(back), SvgPathData(back));
    svg += QStringLiteral(
               "<path fill=\"url(#front)\" fill-rule=\"%1\" stroke=\"#ffffff\" "
               "stroke-width=\"%2\" stroke-linecap=\"round\" stroke-linejoin=\"round\" "
               "d=\"%3\"/>\n")
               .arg(rule(front), SvgNumber(kOutline), SvgPathData(front));
    for (int i = 0; i < 3; ++i) {
        svg += QStringLiteral(
                   "<circle cx=\"%1\" cy=\"%2\" r=\"%3\" fill=\"#ffffff\" "
                   "fill-opacity=\"%4\"/>\n")
                   .arg(SvgNumber(Dot(i).x()), SvgNumber(Dot(i).y()), SvgNumber(kDotRadius),
                        SvgNumber(kDotAlpha / 255.0));
    }
    svg += QStringLiteral("</svg>\n");
    return svg.toStdString();
}

bool WriteFile(const QString& path, const std::string& bytes) {
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    return file.write(bytes.data(), static_cast<qint64>(bytes.size())) ==
               static_cast<qint64>(bytes.size()) &&
           file.flush();
}

}  // namespace

int main(int argc, char** argv) {
    // Nothing is shown; the offscreen platform still gives QPainter its fonts.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_assets <output-directory>\n");
        return 2;
    }
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    if (!dir.exists() && !QDir().mkpath(dir.path())) {
        std::fprintf(stderr, "make_assets: cannot create %s\n", argv[1]);
        return 1;
    }

    bool ok = true;
    auto report = [&ok](bool written, const QString& path) {
        std::fprintf(written ? stdout : stderr, "%s %s\n", written ? "wrote" : "FAILED",
                     qPrintable(QDir::toNativeSeparators(path)));
        ok = ok && written;
    };
    const QString wav = dir.filePath("Sound.WAV");
    report(WriteFile(wav, EncodeWav(SynthesiseChime())), wav);
    const QString placeholder = dir.filePath("placeholder.png");
    report(MakePlaceholder().save(placeholder, "PNG"), placeholder);
    const QString icon = dir.filePath("quorell.png");
    report(MakeIcon(128).save(icon, "PNG"), icon);
    // The desktop's icon theme: the usual sizes beside the 128 above, and the scalable one.
    if (!dir.mkpath("icons")) report(false, dir.filePath("icons"));
    for (int size : kIconSizes) {
        const QString path = dir.filePath(QStringLiteral("icons/quorell-%1.png").arg(size));
        report(MakeIcon(size).save(path, "PNG"), path);
    }
    const QString svg = dir.filePath("icons/quorell.svg");
    report(WriteFile(svg, MakeIconSvg()), svg);
    return ok ? 0 : 1;
}
