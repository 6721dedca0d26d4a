#include "app/format_chooser_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "audio/codec_table.h"

namespace quorell {

namespace {

QString KindText(std::uint16_t tag) {
    if (const CodecRow* row = FindCodecRow(tag))
        return QString::fromUtf8(row->name.data(), static_cast<qsizetype>(row->name.size()));
    return QStringLiteral("0x%1").arg(tag, 4, 16, QLatin1Char('0'));
}

QString RateText(std::uint32_t rate) {
    return QStringLiteral("%1.%2 kHz").arg(rate / 1000).arg(rate % 1000, 3, 10, QLatin1Char('0'));
}

QString ChannelsText(std::uint16_t channels) {
    if (channels == 1) return QStringLiteral("单声道");
    if (channels == 2) return QStringLiteral("立体声");
    return QString::number(channels);
}

// The desktop's default (empty data) first, then each device by its description.
QComboBox* DeviceBox(const std::vector<SoundServerDevice>& devices,
                     const std::string& server_default, const std::string& picked,
                     QWidget* parent) {
    auto* box = new QComboBox(parent);
    QString label = QStringLiteral("系统默认");
    for (const SoundServerDevice& device : devices) {
        if (device.name == server_default)
            label += QStringLiteral("（%1）").arg(QString::fromStdString(device.description));
    }
    box->addItem(label, QString());
    for (const SoundServerDevice& device : devices) {
        const QString name = QString::fromStdString(device.name);
        box->addItem(device.description.empty() ? name : QString::fromStdString(device.description),
                     name);
        if (device.name == picked) box->setCurrentIndex(box->count() - 1);
    }
    return box;
}

std::string PickedName(const QComboBox* box) {
    return box != nullptr ? box->currentData().toString().toStdString() : std::string();
}

}  // namespace

FormatChooserDialog::FormatChooserDialog(const WaveFormat& initial, QWidget* parent)
    : QDialog(parent), formats_(SupportedFormats()), list_(new QTreeWidget(this)) {
    setWindowTitle(QStringLiteral("声音选择"));
    setModal(true);

    list_->setColumnCount(5);
    list_->setHeaderLabels({QStringLiteral("格式"), QStringLiteral("采样率"),
                            QStringLiteral("位数"), QStringLiteral("声道"),
                            QStringLiteral("字节/秒")});
    list_->setRootIsDecorated(false);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setAllColumnsShowFocus(true);
    for (const WaveFormat& format : formats_) {
        auto* row = new QTreeWidgetItem(list_);
        row->setText(0, KindText(format.wFormatTag));
        row->setText(1, RateText(format.nSamplesPerSec));
        row->setText(2, format.wBitsPerSample == 0 ? QStringLiteral("-")
                                                   : QString::number(format.wBitsPerSample));
        row->setText(3, ChannelsText(format.nChannels));
        row->setText(4, QString::number(format.nAvgBytesPerSec));
        for (int column : {1, 2, 4}) row->setTextAlignment(column, Qt::AlignRight);
    }
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    setAccessibleName(windowTitle());
    setAccessibleDescription(QStringLiteral("选择语音的格式和声音设备"));
    list_->setAccessibleName(QStringLiteral("语音格式"));
    list_->setAccessibleDescription(
        QStringLiteral("可选的语音格式：格式、采样率、位数、声道和每秒字节数"));

    auto found = std::find(formats_.begin(), formats_.end(), initial);
    if (found == formats_.end())
        found = std::find(formats_.begin(), formats_.end(), Gsm610Format());
    if (found != formats_.end()) {
        QTreeWidgetItem* row = list_->topLevelItem(static_cast<int>(found - formats_.begin()));
        list_->setCurrentItem(row);
        list_->scrollToItem(row);
    }

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setText(QStringLiteral("确定"));
    QPushButton* cancel = buttons->button(QDialogButtonBox::Cancel);
    cancel->setText(QStringLiteral("取消"));
    ok->setAccessibleName(QStringLiteral("确定"));
    ok->setAccessibleDescription(QStringLiteral("使用选中的格式"));
    ok->setToolTip(QStringLiteral("使用选中的格式（回车）"));
    cancel->setAccessibleName(QStringLiteral("取消"));
    cancel->setAccessibleDescription(QStringLiteral("不选择格式，关闭此窗口"));
    cancel->setToolTip(QStringLiteral("不选择格式，关闭此窗口（Esc）"));
    buttons->setAccessibleName(QStringLiteral("确定或取消"));
    buttons->setAccessibleDescription(QStringLiteral("确认或放弃选择"));
    ok->setEnabled(list_->currentItem() != nullptr);
    connect(list_, &QTreeWidget::currentItemChanged, ok,
            [ok](QTreeWidgetItem* current) { ok->setEnabled(current != nullptr); });
    connect(list_, &QTreeWidget::itemDoubleClicked, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addWidget(buttons);
    resize(480, 360);
}

void FormatChooserDialog::OfferDevices(const SoundServerDevices& server,
                                       const SoundDeviceChoice& current) {
    if (microphones_ != nullptr) return;
    microphones_ = DeviceBox(server.sources, server.default_source, current.input, this);
    speakers_ = DeviceBox(server.sinks, server.default_sink, current.output, this);
    auto* devices = new QFormLayout;
    const auto row = [&](const QString& caption, QComboBox* box, const QString& does) {
        auto* label = new QLabel(caption, this);
        label->setBuddy(box);
        label->setAccessibleDescription(does);
        devices->addRow(label, box);
    };
    row(QStringLiteral("麦克风(&M)："), microphones_, QStringLiteral("麦克风选择框的标签"));
    row(QStringLiteral("扬声器(&K)："), speakers_, QStringLiteral("扬声器选择框的标签"));
    microphones_->setAccessibleName(QStringLiteral("麦克风"));
    microphones_->setAccessibleDescription(QStringLiteral("语音从这个设备录音"));
    speakers_->setAccessibleName(QStringLiteral("扬声器"));
    speakers_->setAccessibleDescription(QStringLiteral("对方的语音从这个设备播放"));
    // Between the format list and the buttons.
    static_cast<QVBoxLayout*>(layout())->insertLayout(1, devices);
}

SoundDeviceChoice FormatChooserDialog::PickedDevices() const {
    return {PickedName(microphones_), PickedName(speakers_)};
}

WaveFormat FormatChooserDialog::Chosen() const {
    const int index = list_->indexOfTopLevelItem(list_->currentItem());
    if (index < 0 || index >= static_cast<int>(formats_.size())) return Gsm610Format();
    return formats_[static_cast<std::size_t>(index)];
}

}  // namespace quorell
