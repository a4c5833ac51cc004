#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "AppKit/AppKit.h"
#include "platform/AppKitQt.h"

namespace platform::appkit {
namespace {

class TextView final : public NSControlView
{
public:
    TextView(NSTextField& field, QLabel* label) : mField(field), mLabel(label)
    {
        mField.setView(this);
        controlChanged();
    }
    ~TextView() { mField.setView(nullptr); }
    TextView(const TextView&) = delete;
    TextView& operator=(const TextView&) = delete;

    void controlChanged() override
    {
        mLabel->setText(QString::fromStdString(mField.stringValue()));
        // The program changes the text while it works on the main thread: paint it now.
        mLabel->repaint();
    }

private:
    NSTextField& mField;
    QLabel* mLabel;
};

class ButtonView final : public NSControlView
{
public:
    ButtonView(NSButton& button, QPushButton* widget) : mButton(button), mWidget(widget)
    {
        mButton.setView(this);
        QObject::connect(mWidget, &QPushButton::clicked, [this] { mButton.performClick(); });
        controlChanged();
    }
    ~ButtonView() { mButton.setView(nullptr); }
    ButtonView(const ButtonView&) = delete;
    ButtonView& operator=(const ButtonView&) = delete;

    void controlChanged() override
    {
        mWidget->setEnabled(mButton.isEnabled());
        mWidget->repaint();
    }

private:
    NSButton& mButton;
    QPushButton* mWidget;
};

} // namespace

struct QtWindowView::Impl
{
    std::unique_ptr<QWidget> widget;
    QLabel* label = nullptr;
    std::vector<QPushButton*> buttons;
    std::unique_ptr<TextView> textView;
    std::vector<std::unique_ptr<ButtonView>> buttonViews;
};

QtWindowView::QtWindowView(NSWindow& window) : mImpl(std::make_unique<Impl>())
{
    mImpl->widget = std::make_unique<QWidget>();
    mImpl->widget->setWindowTitle(QString::fromStdString(window.title()));
    auto* layout = new QVBoxLayout(mImpl->widget.get());
    mImpl->label = new QLabel();
    mImpl->label->setMinimumSize(280, 90);
    mImpl->label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    layout->addWidget(mImpl->label);
    auto* row = new QHBoxLayout();
    row->addStretch();
    for (size_t i = 0; i < window.buttonCount(); ++i) {
        auto* button = new QPushButton(QString::fromStdString(window.button(i).title()));
        row->addWidget(button);
        mImpl->buttons.push_back(button);
    }
    if (!mImpl->buttons.empty()) {
        mImpl->buttons.back()->setDefault(true);
    }
    layout->addLayout(row);

    mImpl->textView = std::make_unique<TextView>(window.textField(), mImpl->label);
    for (size_t i = 0; i < window.buttonCount(); ++i) {
        mImpl->buttonViews.push_back(std::make_unique<ButtonView>(window.button(i), mImpl->buttons[i]));
    }
}

QtWindowView::~QtWindowView()
{
    // The views let go of the controls before the widgets go.
    mImpl->buttonViews.clear();
    mImpl->textView.reset();
}

QWidget* QtWindowView::widget() const
{
    return mImpl->widget.get();
}

QLabel* QtWindowView::textLabel() const
{
    return mImpl->label;
}

QPushButton* QtWindowView::button(size_t index) const
{
    return mImpl->buttons.at(index);
}

bool haveDisplay(std::string* why)
{
    for (const char* variable : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(variable);
        if (value != nullptr && *value != '\0') {
            return true;
        }
    }
    *why = "no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY is set)";
    return false;
}

} // namespace platform::appkit

int NSApplicationMain(int argc, char** argv, NSWindow& window)
{
    std::string why;
    if (!platform::appkit::haveDisplay(&why)) {
        const char* slash = argc > 0 ? std::strrchr(argv[0], '/') : nullptr;
        std::fprintf(stderr, "%s: %s\n", slash != nullptr ? slash + 1 : (argc > 0 ? argv[0] : "program"),
                     why.c_str());
        return 2;
    }
    QApplication application(argc, argv);
    platform::appkit::QtWindowView view(window);
    NSApp->setTerminateHandler([] { QCoreApplication::quit(); });
    view.widget()->show();
    const int status = application.exec();
    NSApp->setTerminateHandler({});
    return status;
}
