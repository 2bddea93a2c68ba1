#pragma once
// Control 1043: a small looping picture that shows a run is going. A file
// travels from the local folder to the server and back; stopped, it shows the
// first frame.

#include <QTimer>
#include <QWidget>

namespace kestrum {

class ActivityAnimation : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kFrameCount = 16;
    static constexpr int kFrameMilliseconds = 90;

    explicit ActivityAnimation(QWidget* parent = nullptr);

    // From the first to the last frame, repeating without end.
    void Play();
    // Stops and shows the first frame again.
    void Stop();
    bool Playing() const { return timer_.isActive(); }
    int Frame() const { return frame_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void NextFrame();

    QTimer timer_;
    int frame_ = 0;
};

}  // namespace kestrum
