// A hardware H.264 encoder transform for the Wine tests only: asynchronous,
// as the transforms of AMD, Intel and NVIDIA drivers are, and really
// encoding (OpenH264 inside). The test host registers it in the throwaway
// Wine prefix (COM class + MFTRegister as hardware); nothing that ships
// contains or registers it.
//
// The asynchronous protocol as Media Foundation defines it: the transform is
// locked until the client sets MF_TRANSFORM_ASYNC_UNLOCK; it asks for each
// input with METransformNeedInput and announces each output with
// METransformHaveOutput; a drain ends with METransformDrainComplete. It asks
// for the next input only once its output has been taken, so a client that
// offers a frame too early is refused (MF_E_NOTACCEPTING) and has to take the
// packets first, as with a busy hardware encoder.
#include <windows.h>
#include <mfapi.h>
#include <mferror.h>
#include <mfidl.h>
#include <mftransform.h>
#include <wels/codec_api.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <vector>

#include "test_h264_transform.h"

namespace {

using ostrel::winhost::kTestTransformClsid;

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

template <typename T>
void SafeRelease(T*& pointer) {
  if (pointer != nullptr) pointer->Release();
  pointer = nullptr;
}

class TestH264Transform final : public IMFTransform, public IMFMediaEventGenerator {
 public:
  static HRESULT Create(REFIID iid, void** out) {
    auto* transform = new (std::nothrow) TestH264Transform();
    if (transform == nullptr) return E_OUTOFMEMORY;
    HRESULT result = transform->Initialise();
    if (SUCCEEDED(result)) result = transform->QueryInterface(iid, out);
    transform->Release();
    return result;
  }

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IMFTransform)) {
      *out = static_cast<IMFTransform*>(this);
    } else if (iid == __uuidof(IMFMediaEventGenerator)) {
      *out = static_cast<IMFMediaEventGenerator*>(this);
    } else {
      *out = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++references_; }
  STDMETHODIMP_(ULONG) Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

  // IMFMediaEventGenerator: the event queue's.
  STDMETHODIMP GetEvent(DWORD flags, IMFMediaEvent** event) override { return events_->GetEvent(flags, event); }
  STDMETHODIMP BeginGetEvent(IMFAsyncCallback* callback, IUnknown* state) override {
    return events_->BeginGetEvent(callback, state);
  }
  STDMETHODIMP EndGetEvent(IMFAsyncResult* result, IMFMediaEvent** event) override {
    return events_->EndGetEvent(result, event);
  }
  STDMETHODIMP QueueEvent(MediaEventType type, REFGUID extended, HRESULT status, const PROPVARIANT* value) override {
    return events_->QueueEventParamVar(type, extended, status, value);
  }

  // IMFTransform: one input and one output stream.
  STDMETHODIMP GetStreamLimits(DWORD* inMin, DWORD* inMax, DWORD* outMin, DWORD* outMax) override {
    if (!inMin || !inMax || !outMin || !outMax) return E_POINTER;
    *inMin = *inMax = *outMin = *outMax = 1;
    return S_OK;
  }
  STDMETHODIMP GetStreamCount(DWORD* inputs, DWORD* outputs) override {
    if (!inputs || !outputs) return E_POINTER;
    *inputs = *outputs = 1;
    return S_OK;
  }
  STDMETHODIMP GetStreamIDs(DWORD, DWORD*, DWORD, DWORD*) override { return E_NOTIMPL; }
  STDMETHODIMP GetInputStreamInfo(DWORD stream, MFT_INPUT_STREAM_INFO* info) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (info == nullptr) return E_POINTER;
    *info = {};
    return S_OK;
  }
  STDMETHODIMP GetOutputStreamInfo(DWORD stream, MFT_OUTPUT_STREAM_INFO* info) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (info == nullptr) return E_POINTER;
    *info = {};
    info->dwFlags = MFT_OUTPUT_STREAM_PROVIDES_SAMPLES | MFT_OUTPUT_STREAM_WHOLE_SAMPLES;
    return S_OK;
  }
  STDMETHODIMP GetAttributes(IMFAttributes** attributes) override {
    if (attributes == nullptr) return E_POINTER;
    *attributes = attributes_;
    attributes_->AddRef();
    return S_OK;
  }
  STDMETHODIMP GetInputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  STDMETHODIMP GetOutputStreamAttributes(DWORD, IMFAttributes**) override { return E_NOTIMPL; }
  STDMETHODIMP DeleteInputStream(DWORD) override { return E_NOTIMPL; }
  STDMETHODIMP AddInputStreams(DWORD, DWORD*) override { return E_NOTIMPL; }

  // As a hardware encoder: the output type first, then NV12 of its size.
  STDMETHODIMP GetInputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (type == nullptr) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (outputType_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (index != 0) return MF_E_NO_MORE_TYPES;
    return MakeType(MFVideoFormat_NV12, type);
  }
  STDMETHODIMP GetOutputAvailableType(DWORD stream, DWORD index, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (type == nullptr) return E_POINTER;
    if (index != 0) return MF_E_NO_MORE_TYPES;
    IMFMediaType* created = nullptr;
    HRESULT result = MFCreateMediaType(&created);
    if (SUCCEEDED(result)) result = created->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    if (SUCCEEDED(result)) result = created->SetGUID(MF_MT_SUBTYPE, MFVideoFormat_H264);
    if (FAILED(result)) {
      SafeRelease(created);
      return result;
    }
    *type = created;
    return S_OK;
  }
  STDMETHODIMP SetOutputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard lock(mutex_);
    if (type == nullptr) {
      SafeRelease(outputType_);
      return S_OK;
    }
    GUID subtype{};
    UINT32 width = 0, height = 0, rateNumerator = 0, rateDenominator = 0;
    if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_H264 ||
        FAILED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height)) || width == 0 || height == 0 ||
        width % 2 != 0 || height % 2 != 0) {
      return MF_E_INVALIDMEDIATYPE;
    }
    if (FAILED(MFGetAttributeRatio(type, MF_MT_FRAME_RATE, &rateNumerator, &rateDenominator)) ||
        rateDenominator == 0) {
      rateNumerator = 30;
      rateDenominator = 1;
    }
    if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
    UINT32 bitrate = 0;
    if (FAILED(type->GetUINT32(MF_MT_AVG_BITRATE, &bitrate)) || bitrate == 0) bitrate = 4000000;
    width_ = width;
    height_ = height;
    fps_ = static_cast<float>(rateNumerator) / static_cast<float>(rateDenominator);
    bitrate_ = bitrate;
    SafeRelease(outputType_);
    outputType_ = type;
    outputType_->AddRef();
    return S_OK;
  }
  STDMETHODIMP SetInputType(DWORD stream, IMFMediaType* type, DWORD flags) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    std::lock_guard lock(mutex_);
    if (type == nullptr) {
      SafeRelease(inputType_);
      return S_OK;
    }
    if (outputType_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    GUID subtype{};
    UINT32 width = 0, height = 0;
    if (FAILED(type->GetGUID(MF_MT_SUBTYPE, &subtype)) || subtype != MFVideoFormat_NV12) {
      return MF_E_INVALIDMEDIATYPE;
    }
    if (SUCCEEDED(MFGetAttributeSize(type, MF_MT_FRAME_SIZE, &width, &height)) &&
        (width != width_ || height != height_)) {
      return MF_E_INVALIDMEDIATYPE;
    }
    if (flags & MFT_SET_TYPE_TEST_ONLY) return S_OK;
    SafeRelease(inputType_);
    inputType_ = type;
    inputType_->AddRef();
    return S_OK;
  }
  STDMETHODIMP GetInputCurrentType(DWORD stream, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (type == nullptr) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (inputType_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    *type = inputType_;
    inputType_->AddRef();
    return S_OK;
  }
  STDMETHODIMP GetOutputCurrentType(DWORD stream, IMFMediaType** type) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (type == nullptr) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (outputType_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    *type = outputType_;
    outputType_->AddRef();
    return S_OK;
  }
  STDMETHODIMP GetInputStatus(DWORD stream, DWORD* flags) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (flags == nullptr) return E_POINTER;
    std::lock_guard lock(mutex_);
    *flags = inputRequested_ ? MFT_INPUT_STATUS_ACCEPT_DATA : 0;
    return S_OK;
  }
  STDMETHODIMP GetOutputStatus(DWORD* flags) override {
    if (flags == nullptr) return E_POINTER;
    std::lock_guard lock(mutex_);
    *flags = outputs_.empty() ? 0 : MFT_OUTPUT_STATUS_SAMPLE_READY;
    return S_OK;
  }
  STDMETHODIMP SetOutputBounds(LONGLONG, LONGLONG) override { return E_NOTIMPL; }
  STDMETHODIMP ProcessEvent(DWORD, IMFMediaEvent*) override { return E_NOTIMPL; }

  STDMETHODIMP ProcessMessage(MFT_MESSAGE_TYPE message, ULONG_PTR) override {
    std::lock_guard lock(mutex_);
    if (!Unlocked()) return MF_E_TRANSFORM_ASYNC_LOCKED;
    switch (message) {
      case MFT_MESSAGE_NOTIFY_BEGIN_STREAMING:
        return OpenEncoder();
      case MFT_MESSAGE_NOTIFY_START_OF_STREAM: {
        const HRESULT opened = OpenEncoder();
        if (FAILED(opened)) return opened;
        draining_ = false;
        return RequestInput();
      }
      case MFT_MESSAGE_COMMAND_DRAIN:
        draining_ = true;
        if (outputs_.empty()) return events_->QueueEventParamVar(METransformDrainComplete, GUID_NULL, S_OK, nullptr);
        return S_OK;
      case MFT_MESSAGE_COMMAND_FLUSH:
        for (IMFSample* sample : outputs_) sample->Release();
        outputs_.clear();
        return S_OK;
      default:
        return S_OK;
    }
  }

  STDMETHODIMP ProcessInput(DWORD stream, IMFSample* sample, DWORD) override {
    if (stream != 0) return MF_E_INVALIDSTREAMNUMBER;
    if (sample == nullptr) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (!Unlocked()) return MF_E_TRANSFORM_ASYNC_LOCKED;
    if (inputType_ == nullptr || outputType_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (!inputRequested_ || draining_) return MF_E_NOTACCEPTING;
    inputRequested_ = false;
    IMFSample* encoded = nullptr;
    const HRESULT result = Encode(sample, &encoded);
    if (FAILED(result)) return result;
    if (encoded == nullptr) return RequestInput();  // nothing to hand out (the encoder kept the frame)
    outputs_.push_back(encoded);
    return events_->QueueEventParamVar(METransformHaveOutput, GUID_NULL, S_OK, nullptr);
  }

  STDMETHODIMP ProcessOutput(DWORD flags, DWORD count, MFT_OUTPUT_DATA_BUFFER* buffers, DWORD* status) override {
    if (count != 1 || buffers == nullptr || status == nullptr || flags != 0) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    if (!Unlocked()) return MF_E_TRANSFORM_ASYNC_LOCKED;
    *status = 0;
    buffers[0].dwStatus = 0;
    buffers[0].pEvents = nullptr;
    if (outputs_.empty()) return MF_E_TRANSFORM_NEED_MORE_INPUT;
    buffers[0].pSample = outputs_.front();  // the caller's reference now
    outputs_.pop_front();
    if (!outputs_.empty()) return S_OK;
    // The output is taken: the next input (or the end of the drain).
    if (draining_) return events_->QueueEventParamVar(METransformDrainComplete, GUID_NULL, S_OK, nullptr);
    return RequestInput();
  }

 private:
  TestH264Transform() { ++g_objects; }
  ~TestH264Transform() {
    for (IMFSample* sample : outputs_) sample->Release();
    if (encoder_ != nullptr) {
      encoder_->Uninitialize();
      WelsDestroySVCEncoder(encoder_);
    }
    if (events_ != nullptr) events_->Shutdown();
    SafeRelease(events_);
    SafeRelease(attributes_);
    SafeRelease(inputType_);
    SafeRelease(outputType_);
    --g_objects;
  }

  HRESULT Initialise() {
    HRESULT result = MFCreateEventQueue(&events_);
    if (SUCCEEDED(result)) result = MFCreateAttributes(&attributes_, 4);
    if (SUCCEEDED(result)) result = attributes_->SetUINT32(MF_TRANSFORM_ASYNC, TRUE);
    if (SUCCEEDED(result)) result = attributes_->SetUINT32(MFT_SUPPORT_DYNAMIC_FORMAT_CHANGE, TRUE);
    return result;
  }

  bool Unlocked() const {
    UINT32 unlocked = 0;
    return SUCCEEDED(attributes_->GetUINT32(MF_TRANSFORM_ASYNC_UNLOCK, &unlocked)) && unlocked != 0;
  }

  HRESULT RequestInput() {
    inputRequested_ = true;
    return events_->QueueEventParamVar(METransformNeedInput, GUID_NULL, S_OK, nullptr);
  }

  HRESULT MakeType(const GUID& subtype, IMFMediaType** out) {
    IMFMediaType* type = nullptr;
    HRESULT result = MFCreateMediaType(&type);
    if (SUCCEEDED(result)) result = type->SetGUID(MF_MT_MAJOR_TYPE, MFMediaType_Video);
    if (SUCCEEDED(result)) result = type->SetGUID(MF_MT_SUBTYPE, subtype);
    if (SUCCEEDED(result)) result = MFSetAttributeSize(type, MF_MT_FRAME_SIZE, width_, height_);
    if (SUCCEEDED(result)) result = type->SetUINT32(MF_MT_INTERLACE_MODE, MFVideoInterlace_Progressive);
    if (FAILED(result)) {
      SafeRelease(type);
      return result;
    }
    *out = type;
    return S_OK;
  }

  HRESULT OpenEncoder() {
    if (encoder_ != nullptr) return S_OK;
    if (inputType_ == nullptr || outputType_ == nullptr) return MF_E_TRANSFORM_TYPE_NOT_SET;
    if (WelsCreateSVCEncoder(&encoder_) != 0 || encoder_ == nullptr) return E_FAIL;
    SEncParamExt parameters{};
    encoder_->GetDefaultParams(&parameters);
    parameters.iUsageType = CAMERA_VIDEO_REAL_TIME;
    parameters.iPicWidth = static_cast<int>(width_);
    parameters.iPicHeight = static_cast<int>(height_);
    parameters.iTargetBitrate = static_cast<int>(bitrate_);
    parameters.iMaxBitrate = UNSPECIFIED_BIT_RATE;
    parameters.iRCMode = RC_BITRATE_MODE;
    parameters.fMaxFrameRate = fps_;
    // Every frame in is a frame out, as with a hardware encoder: no frame
    // left out by the rate control.
    parameters.bEnableFrameSkip = false;
    parameters.iSpatialLayerNum = 1;
    parameters.sSpatialLayers[0].iVideoWidth = parameters.iPicWidth;
    parameters.sSpatialLayers[0].iVideoHeight = parameters.iPicHeight;
    parameters.sSpatialLayers[0].fFrameRate = fps_;
    parameters.sSpatialLayers[0].iSpatialBitrate = parameters.iTargetBitrate;
    parameters.sSpatialLayers[0].iMaxSpatialBitrate = UNSPECIFIED_BIT_RATE;
    if (encoder_->InitializeExt(&parameters) != cmResultSuccess) {
      WelsDestroySVCEncoder(encoder_);
      encoder_ = nullptr;
      return E_FAIL;
    }
    int format = videoFormatI420;
    encoder_->SetOption(ENCODER_OPTION_DATAFORMAT, &format);
    planes_.assign(static_cast<size_t>(width_) * height_ * 3 / 2, 0);
    return S_OK;
  }

  // NV12 in (tightly packed, as FFmpeg hands it over), one access unit out;
  // null when the encoder skipped the frame.
  HRESULT Encode(IMFSample* input, IMFSample** output) {
    *output = nullptr;
    HRESULT result = OpenEncoder();
    if (FAILED(result)) return result;
    IMFMediaBuffer* buffer = nullptr;
    result = input->ConvertToContiguousBuffer(&buffer);
    if (FAILED(result)) return result;
    BYTE* data = nullptr;
    DWORD length = 0;
    result = buffer->Lock(&data, nullptr, &length);
    if (FAILED(result)) {
      SafeRelease(buffer);
      return result;
    }
    const size_t lumaSize = static_cast<size_t>(width_) * height_;
    if (length < lumaSize * 3 / 2) {
      buffer->Unlock();
      SafeRelease(buffer);
      return E_INVALIDARG;
    }
    std::memcpy(planes_.data(), data, lumaSize);
    uint8_t* u = planes_.data() + lumaSize;
    uint8_t* v = u + lumaSize / 4;
    const uint8_t* pairs = data + lumaSize;
    for (size_t i = 0; i < lumaSize / 4; ++i) {
      u[i] = pairs[2 * i];
      v[i] = pairs[2 * i + 1];
    }
    buffer->Unlock();
    SafeRelease(buffer);

    LONGLONG time = 0, duration = 0;
    const bool timed = SUCCEEDED(input->GetSampleTime(&time));
    input->GetSampleDuration(&duration);

    SSourcePicture picture{};
    picture.iColorFormat = videoFormatI420;
    picture.iPicWidth = static_cast<int>(width_);
    picture.iPicHeight = static_cast<int>(height_);
    picture.iStride[0] = static_cast<int>(width_);
    picture.iStride[1] = picture.iStride[2] = static_cast<int>(width_ / 2);
    picture.pData[0] = planes_.data();
    picture.pData[1] = u;
    picture.pData[2] = v;
    picture.uiTimeStamp = timed ? time / 10000 : 0;
    SFrameBSInfo info{};
    if (encoder_->EncodeFrame(&picture, &info) != cmResultSuccess) return E_FAIL;
    if (info.eFrameType == videoFrameTypeSkip || info.eFrameType == videoFrameTypeInvalid) return S_OK;

    std::vector<uint8_t> bytes;
    for (int layer = 0; layer < info.iLayerNum; ++layer) {
      const SLayerBSInfo& bits = info.sLayerInfo[layer];
      size_t size = 0;
      for (int nal = 0; nal < bits.iNalCount; ++nal) size += static_cast<size_t>(bits.pNalLengthInByte[nal]);
      bytes.insert(bytes.end(), bits.pBsBuf, bits.pBsBuf + size);
    }
    IMFMediaBuffer* encoded = nullptr;
    result = MFCreateMemoryBuffer(static_cast<DWORD>(bytes.size()), &encoded);
    if (FAILED(result)) return result;
    BYTE* target = nullptr;
    result = encoded->Lock(&target, nullptr, nullptr);
    if (SUCCEEDED(result)) {
      std::memcpy(target, bytes.data(), bytes.size());
      encoded->Unlock();
      result = encoded->SetCurrentLength(static_cast<DWORD>(bytes.size()));
    }
    IMFSample* sample = nullptr;
    if (SUCCEEDED(result)) result = MFCreateSample(&sample);
    if (SUCCEEDED(result)) result = sample->AddBuffer(encoded);
    SafeRelease(encoded);
    if (SUCCEEDED(result) && timed) result = sample->SetSampleTime(time);
    if (SUCCEEDED(result) && duration > 0) result = sample->SetSampleDuration(duration);
    if (SUCCEEDED(result)) {
      result = sample->SetUINT32(MFSampleExtension_CleanPoint, info.eFrameType == videoFrameTypeIDR ? TRUE : FALSE);
    }
    if (FAILED(result)) {
      SafeRelease(sample);
      return result;
    }
    *output = sample;
    return S_OK;
  }

  std::atomic<ULONG> references_{1};
  std::mutex mutex_;
  IMFMediaEventQueue* events_ = nullptr;
  IMFAttributes* attributes_ = nullptr;
  IMFMediaType* inputType_ = nullptr;
  IMFMediaType* outputType_ = nullptr;
  UINT32 width_ = 0;
  UINT32 height_ = 0;
  float fps_ = 30.0f;
  UINT32 bitrate_ = 4000000;
  ISVCEncoder* encoder_ = nullptr;
  std::vector<uint8_t> planes_;
  std::deque<IMFSample*> outputs_;
  bool inputRequested_ = false;
  bool draining_ = false;
};

class Factory final : public IClassFactory {
 public:
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (iid == __uuidof(IUnknown) || iid == __uuidof(IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // static object
  STDMETHODIMP_(ULONG) Release() override { return 1; }
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return TestH264Transform::Create(iid, out);
  }
  STDMETHODIMP LockServer(BOOL lock) override {
    g_locks += lock ? 1 : -1;
    return S_OK;
  }
};

Factory g_factory;

}  // namespace

extern "C" {

// Exported through test_h264_transform.def.
STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (clsid != kTestTransformClsid) return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(iid, out);
}

STDAPI DllCanUnloadNow() { return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE; }

}  // extern "C"
