#pragma once

#include "batchlist/batchlistwindow.h"
#include "batchlist/compiler.h"

#include <vector>

namespace korvane::batchlist {

/// "VB6工程批量编译": starts the user's project compiler once for every listed project.
class frmCompile : public BatchListWindow {
    Q_OBJECT
public:
    explicit frmCompile(platform::Services& services, QWidget* parent = nullptr);

    /// 浏览 (compiler): puts the chosen compiler into Text2.
    void Image2_Click();

protected:
    bool prepareRun() override;
    QStringList comp(const BatchEntry& entry) override;

private:
    QLineEdit* m_text2 = nullptr;                 ///< the compiler's path
    platform::ClickableLabel* m_image2 = nullptr; ///< 浏览 for the compiler
    void runControlChanged(platform::RunControl* control) override;

    QString m_compiler; ///< the trimmed path checked by prepareRun
    platform::RunControl* m_control = nullptr;
    std::vector<ProjectCompile> m_compiles; ///< the run's results, in list order
    size_t m_next = 0;                      ///< the entry comp() reports next
};

} // namespace korvane::batchlist
