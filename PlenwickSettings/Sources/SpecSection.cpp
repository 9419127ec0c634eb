#include "SpecSection.hpp"

#include "SpecsModel.hpp"

#include <cmath>

#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QSignalBlocker>
#include <QSlider>

namespace plenwick {

namespace {

// Pixel counts read and print in the user's locale, but never with thousands separators.
QLocale pixelLocale() {
    QLocale locale;
    locale.setNumberOptions(QLocale::OmitGroupSeparator | QLocale::RejectGroupSeparator);
    return locale;
}

// The slider shows a stored quality outside its range at the nearer end.
int qualityStep(double quality) {
    if (!(quality > 0.5))
        return SpecSection::sliderMinimum;
    if (quality >= 1.0)
        return SpecSection::sliderMaximum;
    return static_cast<int>(std::lround(quality * 100));
}

bool separatesWords(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Separator_Space:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return c == U'\t' || c == U'\n' || c == U'\v' || c == U'\f' || c == U'\r' || c == 0x85;
    }
}

constexpr int64_t smallestPixelCount = 100;

} // namespace

SpecSection::SpecSection(SpecsModel& model, size_t index, QWidget* parent)
    : QGroupBox(parent), m_model(model), m_index(index), m_rule(new QComboBox),
      m_pixels(new QLineEdit), m_quality(new QSlider(Qt::Horizontal)), m_qualityText(new QLabel) {
    auto* form = new QFormLayout(this);
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);

    m_rule->setObjectName("rule");
    m_rule->addItem(tr("Width"), 0);
    m_rule->addItem(tr("Longest edge"), 1);
    form->addRow(tr("Rule"), m_rule);

    m_pixels->setObjectName("pixels");
    // Files dropped on the window are photos to share, never text for the pixel count.
    m_pixels->setAcceptDrops(false);
    form->addRow(tr("Pixels"), m_pixels);

    m_quality->setObjectName("quality");
    m_quality->setRange(sliderMinimum, sliderMaximum);
    m_quality->setSingleStep(1);
    m_qualityText->setObjectName("qualityText");
    // Equal-width digits keep the slider still while the value changes.
    m_qualityText->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_qualityText->setFixedWidth(
        QFontMetrics(m_qualityText->font()).horizontalAdvance(QLocale().toString(0.0, 'f', 2)) + 4);
    m_qualityText->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    auto* qualityRow = new QHBoxLayout;
    qualityRow->addWidget(m_quality, 1);
    qualityRow->addWidget(m_qualityText);
    form->addRow(tr("JPEG quality"), qualityRow);

    refresh();

    connect(m_rule, &QComboBox::currentIndexChanged, this, &SpecSection::setRuleKind);
    connect(m_pixels, &QLineEdit::editingFinished, this, &SpecSection::commitPixels);
    connect(m_quality, &QSlider::valueChanged, this, &SpecSection::setQualityStep);
}

QString SpecSection::capitalised(const QString& id) {
    QString result;
    result.reserve(id.size());
    bool wordStart = true;
    for (char32_t c : id.toUcs4()) {
        QString piece = QString::fromUcs4(&c, 1);
        if (separatesWords(c)) {
            result += piece;
            wordStart = true;
            continue;
        }
        result += wordStart ? piece.toUpper() : piece.toLower();
        wordStart = false;
    }
    return result;
}

const ExportSpec* SpecSection::spec() const {
    const auto& specs = m_model.specs();
    return m_index < specs.size() ? &specs[m_index] : nullptr;
}

void SpecSection::write(const std::function<void(ExportSpec&)>& change) {
    m_model.editSpec(m_index, change);
}

void SpecSection::refresh() {
    const ExportSpec* current = spec();
    if (!current)
        return;
    setTitle(capitalised(QString::fromStdString(current->id)));
    {
        QSignalBlocker blocker(m_rule);
        m_rule->setCurrentIndex(current->rule.kind == SizeRule::Kind::longEdge ? 1 : 0);
    }
    QString pixels = pixelLocale().toString(static_cast<qlonglong>(current->rule.pixels));
    if (m_pixels->text() != pixels)
        m_pixels->setText(pixels);
    {
        QSignalBlocker blocker(m_quality);
        m_quality->setValue(qualityStep(current->quality));
    }
    m_qualityText->setText(QLocale().toString(current->quality, 'f', 2));
}

void SpecSection::setRuleKind(int kind) {
    if (!spec())
        return;
    write([kind](ExportSpec& spec) {
        spec.rule.kind = kind != 0 ? SizeRule::Kind::longEdge : SizeRule::Kind::width;
    });
    refresh();
}

void SpecSection::commitPixels() {
    if (!spec())
        return;
    bool parsed = false;
    qlonglong value = pixelLocale().toLongLong(m_pixels->text().trimmed(), &parsed);
    if (parsed) {
        write([value](ExportSpec& spec) {
            spec.rule.pixels = value > smallestPixelCount ? value : smallestPixelCount;
        });
    }
    // Shows what is stored now: 100 after a smaller count, the old count after text that is
    // not a whole number.
    refresh();
}

void SpecSection::setQualityStep(int step) {
    if (!spec())
        return;
    write([step](ExportSpec& spec) { spec.quality = step / 100.0; });
    refresh();
}

} // namespace plenwick
