#pragma once

#include "PlenwickCore/ExportSpec.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>

#include <QGroupBox>

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace plenwick {

class SpecsModel;

// The group that edits one spec of the model's list, addressed by its position. Every edit
// replaces that element and assigns the whole list back, which saves it.
class SpecSection : public QGroupBox {
    Q_OBJECT

public:
    SpecSection(SpecsModel& model, size_t index, QWidget* parent = nullptr);

    // Shows the element as the model holds it now, without writing anything.
    void refresh();

    // The section header: every word's first letter upper-cased, the rest lower-cased.
    static QString capitalised(const QString& id);

    // The slider's steps are hundredths of quality.
    static constexpr int sliderMinimum = 50;
    static constexpr int sliderMaximum = 100;

private:
    const ExportSpec* spec() const;
    // Hands one edit of this section's spec to the model.
    void write(const std::function<void(ExportSpec&)>& change);

    void setRuleKind(int kind);
    void commitPixels();
    void setQualityStep(int step);

    SpecsModel& m_model;
    size_t m_index;
    QComboBox* m_rule;
    QLineEdit* m_pixels;
    QSlider* m_quality;
    QLabel* m_qualityText;
};

} // namespace plenwick
