#include "linux/test_window.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace ostrel::testing {

TestWindow::TestWindow(int width, int height, Content content, Clock::time_point flashEpoch, int redrawHz)
    : width_(width), height_(height), content_(content), flashEpoch_(flashEpoch), redrawHz_(redrawHz) {
  int screenNumber = 0;
  connection_ = xcb_connect(nullptr, &screenNumber);
  if (xcb_connection_has_error(connection_) != 0) return;
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection_));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  xcb_screen_t* screen = it.data;
  depth_ = screen->root_depth;
  window_ = xcb_generate_id(connection_);
  const uint32_t values[] = {screen->black_pixel, XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
  xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, 0, 0, static_cast<uint16_t>(width),
                    static_cast<uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
  gc_ = xcb_generate_id(connection_);
  xcb_create_gc(connection_, gc_, window_, 0, nullptr);
  if (content_ == Content::Still) {
    // Gradients with fine detail, so scaling and chroma errors show.
    pattern_.resize(static_cast<size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        uint8_t* p = &pattern_[(static_cast<size_t>(y) * width + x) * 4];
        p[0] = static_cast<uint8_t>(x * 255 / std::max(1, width - 1));
        p[1] = static_cast<uint8_t>(y * 255 / std::max(1, height - 1));
        p[2] = static_cast<uint8_t>(((x / 16 + y / 16) % 2) ? 220 : 40);
        p[3] = 0;
      }
    }
  }
  xcb_map_window(connection_, window_);
  xcb_flush(connection_);
  thread_ = std::thread([this] { Run(); });
}

TestWindow::~TestWindow() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  if (connection_ != nullptr) xcb_disconnect(connection_);
}

void TestWindow::Resize(int width, int height) {
  std::lock_guard lock(mutex_);
  const uint32_t values[] = {static_cast<uint32_t>(width), static_cast<uint32_t>(height)};
  xcb_configure_window(connection_, window_, XCB_CONFIG_WINDOW_WIDTH | XCB_CONFIG_WINDOW_HEIGHT, values);
  xcb_flush(connection_);
  width_.store(width);
  height_.store(height);
}

void TestWindow::Destroy() {
  std::lock_guard lock(mutex_);
  destroyed_.store(true);
  xcb_destroy_window(connection_, window_);
  xcb_flush(connection_);
}

void TestWindow::Fill(uint32_t colour, int16_t x, int16_t y, uint16_t w, uint16_t h) {
  xcb_change_gc(connection_, gc_, XCB_GC_FOREGROUND, &colour);
  xcb_rectangle_t rectangle{x, y, w, h};
  xcb_poly_fill_rectangle(connection_, window_, gc_, 1, &rectangle);
}

void TestWindow::DrawAnimated(uint64_t frame, bool flash) {
  const int w = width_.load();
  const int h = height_.load();
  if (flash) {
    Fill(0xFFFFFF, 0, 0, static_cast<uint16_t>(w), static_cast<uint16_t>(h));
    return;
  }
  Fill(0x303030, 0, 0, static_cast<uint16_t>(w), static_cast<uint16_t>(h));
  const int bar = std::max(8, w / 20);
  Fill(0x2060C0, static_cast<int16_t>(static_cast<int>(frame * 7 % std::max(1, w - bar))), 0,
       static_cast<uint16_t>(bar), static_cast<uint16_t>(h));
  // The counter, 16 bits as blocks along the top.
  const int block = std::max(4, w / 32);
  for (int bit = 0; bit < 16; ++bit) {
    Fill(((frame >> bit) & 1) ? 0xE0E040 : 0x101010, static_cast<int16_t>(bit * block), 0,
         static_cast<uint16_t>(block - 1), static_cast<uint16_t>(block));
  }
}

void TestWindow::DrawPattern() {
  const int w = width_.load();
  const int h = height_.load();
  const uint32_t maxBytes = xcb_get_maximum_request_length(connection_) * 4 - 64;
  const int rowsPerBand = std::max(1, static_cast<int>(maxBytes / (static_cast<uint32_t>(w) * 4)));
  for (int y = 0; y < h; y += rowsPerBand) {
    const int rows = std::min(rowsPerBand, h - y);
    xcb_put_image(connection_, XCB_IMAGE_FORMAT_Z_PIXMAP, window_, gc_, static_cast<uint16_t>(w),
                  static_cast<uint16_t>(rows), 0, static_cast<int16_t>(y), 0, depth_,
                  static_cast<uint32_t>(rows) * w * 4, &pattern_[static_cast<size_t>(y) * w * 4]);
  }
}

void TestWindow::Run() {
  // Drawing starts once the window is on screen.
  for (bool mapped = false; !mapped && !stop_.load();) {
    xcb_generic_event_t* event = xcb_wait_for_event(connection_);
    if (event == nullptr) return;
    mapped = (event->response_type & 0x7F) == XCB_MAP_NOTIFY || (event->response_type & 0x7F) == XCB_EXPOSE;
    std::free(event);
  }
  if (content_ == Content::Still) {
    {
      std::lock_guard lock(mutex_);
      DrawPattern();
      // A round trip: the pattern is on screen before the window counts as ready.
      std::free(xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
    }
    ready_.store(true);
    while (!stop_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    return;
  }
  // Frames on a grid anchored at the flash epoch, so a flash starts exactly
  // at each whole second.
  const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / redrawHz_));
  int64_t index = std::max<int64_t>(0, (Clock::now() - flashEpoch_) / period + 1);
  const int64_t perSecond = redrawHz_;
  const int64_t flashFrames = std::max<int64_t>(1, redrawHz_ / 10);
  while (!stop_.load()) {
    std::this_thread::sleep_until(flashEpoch_ + index * period);
    if (destroyed_.load()) {
      ++index;
      continue;
    }
    {
      std::lock_guard lock(mutex_);
      DrawAnimated(static_cast<uint64_t>(index), index % perSecond < flashFrames);
      xcb_flush(connection_);
    }
    ready_.store(true);
    // A late frame is skipped rather than drawn in a burst.
    index = std::max(index + 1, (Clock::now() - flashEpoch_) / period + 1);
    while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) std::free(event);
  }
}

}  // namespace ostrel::testing
