#pragma once

#include "batchlist/batchlistwindow.h"
#include "batchlist/compiler.h"

namespace korvane::batchlist {

/// "VB6工程批量编译": starts the user's project compiler once for every listed project.
class frmCompile : public BatchListWindow {
    Q_OBJECT
public:
    explicit frmCompile(platform::Services& services, QWidget* parent = nullptr);

    /// 浏览 (compiler): puts the chosen compiler into Text2.
    void Image2_Click();

protected:
    BatchRunHooks& runHooks() override;

private:
    QLineEdit* m_text2 = nullptr;                 ///< the compiler's path
    platform::ClickableLabel* m_image2 = nullptr; ///< 浏览 for the compiler
    CompileRun m_compile;
};

} // namespace korvane::batchlist
