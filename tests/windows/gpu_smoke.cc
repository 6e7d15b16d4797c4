// The Windows GPU backend on the real DXGI / Direct3D 11 APIs, and one
// segment encoded through it by the shared core: run under Wine or Windows.
// Prints one line per check and exits with the number of failed checks.
//
// Under Wine the device has no video processor, so the segment goes through
// the CPU conversion; on Windows it goes through the video processor. Either
// way the converted picture is read back and compared with BT.709 studio
// range values of the colours drawn.
#include <windows.h>
#include <d3d11.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "encode/ffmpeg_segment_encoder.h"
#include "encode/gpu_encode_context.h"
#include "platform/hresult.h"
#include "platform/win/win_backend.h"
#include "platform/win/win_capture_device.h"
#include "platform/win/win_gpu.h"

namespace {

using namespace ostrel;
using namespace ostrel::platform;

int failures = 0;

void Report(bool ok, const char* what, const std::string& detail = {}) {
  std::printf("%s %s%s%s\n", ok ? "PASS" : "FAIL", what, detail.empty() ? "" : ": ", detail.c_str());
  std::fflush(stdout);
  if (!ok) ++failures;
}

std::string Hex(Hresult code) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "0x%08X", static_cast<unsigned>(code));
  return buffer;
}

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
  return out;
}

// Expected BT.709 studio-range Y, Cb, Cr of a full-range RGB colour.
void Bt709Limited(double r, double g, double b, double* out) {
  r /= 255.0;
  g /= 255.0;
  b /= 255.0;
  const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  out[0] = 16.0 + 219.0 * luma;
  out[1] = 128.0 + 224.0 * (b - luma) / 1.8556;
  out[2] = 128.0 + 224.0 * (r - luma) / 1.5748;
}

constexpr uint32_t kCaptureWidth = 640, kCaptureHeight = 360, kOutputWidth = 320, kOutputHeight = 180;
// Left half (200, 60, 30), right half (20, 180, 240), as BGRA words.
constexpr uint32_t kLeft = 0xFFC83C1Eu, kRight = 0xFF14B4F0u;

std::shared_ptr<IGpuAdapter> CheckAdapters(IGpuSystem& gpu) {
  std::shared_ptr<IGpuFactory> factory;
  const Hresult created = gpu.CreateFactory(&factory);
  Report(Succeeded(created) && factory, "DXGI factory", Hex(created));
  if (!factory) return nullptr;
  std::shared_ptr<IGpuAdapter> first;
  uint32_t count = 0;
  bool outputsOk = true;
  std::string detail;
  for (uint32_t index = 0;; ++index) {
    std::shared_ptr<IGpuAdapter> adapter;
    const Hresult result = factory->EnumAdapters1(index, &adapter);
    if (result == hr::kDxgiNotFound) break;
    if (Failed(result)) {
      Report(false, "adapter enumeration", Hex(result));
      break;
    }
    ++count;
    AdapterDesc desc;
    const Hresult described = adapter->GetDesc1(&desc);
    detail += (detail.empty() ? "" : "; ") + Narrow(desc.description) + " flags " + std::to_string(desc.flags);
    if (Failed(described)) outputsOk = false;
    if (!first && (desc.flags & kAdapterFlagSoftware) == 0) first = adapter;
    for (uint32_t output = 0;; ++output) {
      std::shared_ptr<IGpuOutput> out;
      const Hresult enumerated = adapter->EnumOutputs(output, &out);
      if (enumerated == hr::kDxgiNotFound) break;
      OutputDesc outputDesc;
      if (Failed(enumerated) || Failed(out->GetDesc(&outputDesc)) || outputDesc.monitor == nullptr) {
        outputsOk = false;
        break;
      }
      detail += ", output " + std::to_string(output) + " on a monitor";
    }
  }
  Report(count > 0 && outputsOk, "adapters with their outputs and monitors", detail);
  return first;
}

void CheckDevice(IGpuDevice& device) {
  Report(device.GetDeviceRemovedReason() == hr::kOk, "healthy device reports S_OK as its removal reason");
  if (device.HasDxgiDevice()) {
    const Hresult set = device.SetGpuThreadPriority(7);
    int32_t actual = 0;
    device.GetGpuThreadPriority(&actual);
    // Wine answers E_NOTIMPL; Windows honours it or refuses without admin.
    Report(Succeeded(set) ? actual == 7 : actual == 0, "GPU thread priority",
           "setResult " + Hex(set) + " actual " + std::to_string(actual));
  } else {
    Report(false, "device offers IDXGIDevice");
  }

  std::shared_ptr<ITexture> odd;
  Report(device.CreateTexture(TextureDesc{321, 180, PixelFormat::Nv12, TextureUsage::Staging, false, true}, &odd) ==
             hr::kInvalidArg,
         "odd-sized NV12 texture refused");
}

void CheckCaptureWrapping(IGpuSystem& gpu, const std::shared_ptr<IGpuDevice>& device) {
  std::shared_ptr<ICaptureDevice> wrapped;
  const Hresult result = gpu.WrapForCapture(*device, &wrapped);
  auto* capture = dynamic_cast<win::WinCaptureDevice*>(wrapped.get());
  const bool interop =
      GetProcAddress(GetModuleHandleW(L"d3d11.dll"), "CreateDirect3D11DeviceFromDXGIDevice") != nullptr;
  Report(Succeeded(result) && capture != nullptr && capture->GpuDevice() == device &&
             capture->D3dDevice() == win::NativeDevice(*device) && (capture->WinRtDevice() != nullptr) == interop,
         "capture device wraps the Direct3D device",
         std::string(interop ? "with" : "without") + " WinRT interop, " + Hex(result));
}

// The picture: two halves.
std::vector<uint32_t> Picture() {
  std::vector<uint32_t> pixels(size_t{kCaptureWidth} * kCaptureHeight);
  for (uint32_t y = 0; y < kCaptureHeight; ++y) {
    for (uint32_t x = 0; x < kCaptureWidth; ++x) pixels[y * kCaptureWidth + x] = x < kCaptureWidth / 2 ? kLeft : kRight;
  }
  return pixels;
}

// A Direct3D texture of the device holding the picture, as the capture
// service hands frames out, wrapped for the platform.
std::shared_ptr<ITexture> NativePicture(IGpuDevice& device, const std::vector<uint32_t>& pixels) {
  D3D11_TEXTURE2D_DESC desc{};
  desc.Width = kCaptureWidth;
  desc.Height = kCaptureHeight;
  desc.MipLevels = 1;
  desc.ArraySize = 1;
  desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
  desc.SampleDesc.Count = 1;
  desc.Usage = D3D11_USAGE_DEFAULT;
  D3D11_SUBRESOURCE_DATA data{};
  data.pSysMem = pixels.data();
  data.SysMemPitch = kCaptureWidth * 4;
  ID3D11Texture2D* texture = nullptr;
  if (FAILED(win::NativeDevice(device)->CreateTexture2D(&desc, &data, &texture))) return nullptr;
  auto wrapped = win::WrapTexture(texture);
  texture->Release();
  return wrapped;
}

// Converts once with the context's converter and reads the NV12 result back.
void CheckConversion(GpuEncodeContext& encode, ITexture& frame, const char* what) {
  IGpuDevice& device = encode.Device();
  std::shared_ptr<ITexture> target, staging;
  Hresult result = device.CreateTexture(
      TextureDesc{kOutputWidth, kOutputHeight, PixelFormat::Nv12, TextureUsage::Default, true, false}, &target);
  if (Succeeded(result)) {
    result = device.CreateTexture(
        TextureDesc{kOutputWidth, kOutputHeight, PixelFormat::Nv12, TextureUsage::Staging, false, true}, &staging);
  }
  if (Failed(result)) {
    Report(false, "NV12 textures", Hex(result));
    return;
  }
  IGpuContext& context = encode.ImmediateContext();
  result = context.ConvertAndScale(encode.Converter(), frame, *target);
  context.CopyResource(*staging, *target);
  MappedTexture mapped;
  Hresult mappedResult = hr::kDxgiWasStillDrawing;
  for (int tries = 0; tries < 1000 && mappedResult == hr::kDxgiWasStillDrawing; ++tries) {
    mappedResult = context.Map(*staging, true, &mapped);
    if (mappedResult == hr::kDxgiWasStillDrawing) Sleep(2);
  }
  if (Failed(result) || Failed(mappedResult)) {
    Report(false, "convert, copy and map", Hex(result) + " " + Hex(mappedResult));
    return;
  }
  const uint8_t* luma = mapped.data;
  const uint8_t* chroma = mapped.data + size_t{mapped.rowPitch} * kOutputHeight;
  const uint32_t y = kOutputHeight / 2, leftX = kOutputWidth / 8 * 2, rightX = kOutputWidth / 8 * 6;
  const double got[2][3] = {
      {double(luma[y * mapped.rowPitch + leftX]), double(chroma[y / 2 * mapped.rowPitch + leftX]),
       double(chroma[y / 2 * mapped.rowPitch + leftX + 1])},
      {double(luma[y * mapped.rowPitch + rightX]), double(chroma[y / 2 * mapped.rowPitch + rightX]),
       double(chroma[y / 2 * mapped.rowPitch + rightX + 1])}};
  context.Unmap(*staging);
  double want[2][3];
  Bt709Limited(200, 60, 30, want[0]);
  Bt709Limited(20, 180, 240, want[1]);
  bool close = true;
  char detail[160];
  std::snprintf(detail, sizeof detail, "left %g/%g/%g want %.1f/%.1f/%.1f, right %g/%g/%g want %.1f/%.1f/%.1f",
                got[0][0], got[0][1], got[0][2], want[0][0], want[0][1], want[0][2], got[1][0], got[1][1], got[1][2],
                want[1][0], want[1][1], want[1][2]);
  for (int side = 0; side < 2; ++side) {
    for (int c = 0; c < 3; ++c) close = close && std::fabs(got[side][c] - want[side][c]) <= 3.0;
  }
  Report(close, what, detail);
}

void CheckSegment(GpuEncodeContext& encode, ITexture& frame) {
  if (encode.EncoderName().empty()) {
    Report(false, "an FFmpeg encoder opened");
    return;
  }
  try {
    auto encoder = MakeFfmpegSegmentEncoder(encode, kOutputWidth, kOutputHeight, 30, 2000000);
    const int64_t period = 10000000 / 30;
    bool accepted = true;
    for (int i = 0; i < 12; ++i) accepted = encoder->WriteFrame(frame, 1000 * 10000000LL + i * period) && accepted;
    encoder->DrainPending();
    const EncodedSegment segment = encoder->Finalize();
    const bool mp4 = segment.bytes && segment.bytes->size() > 8 && std::memcmp(segment.bytes->data() + 4, "ftyp", 4) == 0;
    Report(accepted && segment.frameCount == 12 && mp4, "one segment through the converter and the encoder",
           encode.EncoderName() + ", " + std::to_string(segment.frameCount) + " frames, " +
               std::to_string(segment.bytes ? segment.bytes->size() : 0) + " bytes");
  } catch (const std::exception& error) {
    Report(false, "one segment through the converter and the encoder", error.what());
  }
}

}  // namespace

int main() {
  IGpuSystem& gpu = win::GpuSystem();
  std::shared_ptr<IGpuAdapter> adapter = CheckAdapters(gpu);
  std::shared_ptr<IGpuDevice> device;
  const Hresult created = gpu.CreateDevice(adapter.get(), &device);
  Report(Succeeded(created) && device, "Direct3D 11 device with BGRA support", Hex(created));
  if (!device) return failures;
  std::shared_ptr<IGpuDevice> defaultDevice;
  const Hresult createdDefault = gpu.CreateDevice(nullptr, &defaultDevice);
  Report(Succeeded(createdDefault) && defaultDevice, "device on the default hardware adapter", Hex(createdDefault));
  CheckDevice(*device);
  CheckCaptureWrapping(gpu, device);

  const std::vector<uint32_t> pixels = Picture();
  std::shared_ptr<ITexture> frame;
  const Hresult frameCreated = win::CreateTextureWithPixels(*device, kCaptureWidth, kCaptureHeight,
                                                            reinterpret_cast<const uint8_t*>(pixels.data()),
                                                            kCaptureWidth * 4, &frame);
  Report(Succeeded(frameCreated) && frame, "BGRA texture made from pixels", Hex(frameCreated));
  if (!frame) return failures;
  auto wrapped = NativePicture(*device, pixels);
  Report(wrapped && wrapped->Desc().width == kCaptureWidth && wrapped->Desc().format == PixelFormat::Bgra8 &&
             wrapped->Desc().usage == TextureUsage::Default,
         "a Direct3D texture wrapped keeps its description");
  // The capture callback's copy out of a capture-service texture.
  std::shared_ptr<ITexture> copied;
  if (wrapped && Succeeded(device->CreateTexture(TextureDesc{kCaptureWidth, kCaptureHeight}, &copied))) {
    device->ImmediateContext().CopyResource(*copied, *wrapped);
  }

  std::vector<std::wstring> lines;
  try {
    GpuEncodeContext encode(device, kCaptureWidth, kCaptureHeight, kOutputWidth, kOutputHeight,
                            [&](const std::wstring& line) { lines.push_back(line); });
    std::string detail;
    for (const auto& line : lines) detail += (detail.empty() ? "" : " | ") + Narrow(line);
    Report(true, encode.CpuConversion() ? "encode context converts on the CPU" : "encode context uses the video processor",
           detail);
    CheckConversion(encode, *frame, "BGRA made from pixels to NV12 at output size in BT.709 studio range");
    if (copied) {
      CheckConversion(encode, *copied, "BGRA copied from a Direct3D texture to NV12 in BT.709 studio range");
    } else {
      Report(false, "frame texture copied from a Direct3D texture");
    }
    CheckSegment(encode, *frame);
  } catch (const HresultError& error) {
    Report(false, "encode context", Hex(error.code()));
  }
  std::printf("%d failed\n", failures);
  return failures;
}
