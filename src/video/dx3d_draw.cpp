#include "video/dx3d_draw.h"

#include <cstdint>
#include <cstring>
#include <utility>

#include "kolm/hresult_exception.h"
#include "kolm/sample_queue.h"
#include "video/position_bar.h"

namespace kolm {

namespace {

constexpr D3DFORMAT formatYV12 = static_cast<D3DFORMAT>(MAKEFOURCC('Y', 'V', '1', '2'));
constexpr DWORD vertexFormat = D3DFVF_XYZRHW | D3DFVF_TEX1;
// Far beyond any picture, and beyond what the pool makes.
constexpr int maxSide = 16384;
constexpr unsigned maxSurfaces = 64;

template <class T>
void release(T*& object) {
  if (object) object->Release();
  object = nullptr;
}

D3DTEXTUREFILTERTYPE bestFilter(DWORD caps, DWORD gaussian, DWORD pyramidal, DWORD linear) {
  if (caps & gaussian) return D3DTEXF_GAUSSIANQUAD;
  if (caps & pyramidal) return D3DTEXF_PYRAMIDALQUAD;
  if (caps & linear) return D3DTEXF_LINEAR;
  return D3DTEXF_POINT;
}

}  // namespace

CDX3DDraw::CDX3DDraw(HWND window) : window_(window) {
  for (Vertex& vertex : vertices_) vertex.z = vertex.rhw = 1.0f;
}

CDX3DDraw::~CDX3DDraw() {
  sys::Guard guard(lock_);
  releaseVideoResources();
  releaseDeviceObjects();
  surfaces_.clear();
  // Last: every object above came from this library.
  if (d3d9Module_) FreeLibrary(d3d9Module_);
  d3d9Module_ = nullptr;
}

int CDX3DDraw::getWidth() {
  sys::Guard guard(lock_);
  return pictureWidth_;
}

int CDX3DDraw::getHeight() {
  sys::Guard guard(lock_);
  return pictureHeight_;
}

int CDX3DDraw::textureSide(int pictureSide, bool pow2) {
  if (!pow2) return surfaceSide(pictureSide);
  int side = 64;
  while (side < pictureSide && side < maxSide) side *= 2;
  return side;
}

CDX3DDraw::Entry* CDX3DDraw::find(VideoSurface handle) {
  // Compared, never dereferenced: the handle may be from an earlier configure.
  if (!handle) return nullptr;
  for (Entry& entry : surfaces_)
    if (entry.handle && reinterpret_cast<VideoSurface>(entry.handle) == handle) return &entry;
  return nullptr;
}

bool CDX3DDraw::configure(int* width, int* height, int* count, int) {
  if (!width || !height || !count) return false;
  sys::Guard guard(lock_);
  // The pool configures only while none of its samples is in use, so no
  // surface is locked or being shown.
  if (!surfaces_.empty()) {
    releaseVideoResources();
    releaseDeviceObjects();
    surfaces_.clear();
  }
  pictureWidth_ = *width;
  pictureHeight_ = *height;
  surfaceCount_ = *count > 0 ? static_cast<unsigned>(*count) : 0;
  resetPending_ = false;
  return true;
}

bool CDX3DDraw::allocateSurface(int width, int height, VideoSurface* surface) {
  if (!surface) return false;
  sys::Guard guard(lock_);
  if (surfaces_.empty()) {
    // A size that is no picture (0 by 0 from an Ogg file without Theora) gets
    // no device and no surfaces; the pool then refuses or uses memory.
    if (width <= 0 || height <= 0 || width > maxSide || height > maxSide) return false;
    if (surfaceCount_ == 0) surfaceCount_ = 1;
    if (surfaceCount_ > maxSurfaces) surfaceCount_ = maxSurfaces;
    pictureWidth_ = backBufferWidth_ = width;
    pictureHeight_ = backBufferHeight_ = height;
    surfacesHandedOut_ = 0;
    resetPending_ = false;
    const HRESULT hr = createDevice();
    if (FAILED(hr)) throw CHResultException("Failed to create device.", hr);
    surfaces_.resize(surfaceCount_);
    allocateVideoResources();
  }
  // Without the texture and every surface there is nothing to hand out that
  // could be shown.
  if (!resourcesReady_ || surfacesHandedOut_ >= surfaces_.size()) return false;
  Entry& entry = surfaces_[surfacesHandedOut_++];
  entry.handle = ++lastHandle_;
  *surface = reinterpret_cast<VideoSurface>(entry.handle);
  return true;
}

bool CDX3DDraw::lockSurface(int* height, int* width, int* pitch, std::uint8_t** bits,
                            VideoSurface surface) {
  if (!height || !width || !pitch || !bits) return false;
  sys::Guard guard(lock_);
  Entry* entry = find(surface);
  // While the device waits to be made again, no new writer may hold it up.
  if (!entry || !entry->surface || entry->locked || resetPending_) return false;
  if ((pictureWidth_ | pictureHeight_) & 1) {
    // The surface is a row or a column larger than the picture, so its
    // planes do not lie where the picture's layout puts them: the writer
    // gets memory of the picture's own layout, copied over on unlock.
    const int stagingPitch = surfaceSide(pictureWidth_);
    entry->staging.resize(YV12Planes::bytes(stagingPitch, pictureHeight_));
    entry->locked = true;
    *height = pictureHeight_;
    *width = pictureWidth_;
    *pitch = stagingPitch;
    *bits = entry->staging.data();
    return true;
  }
  D3DLOCKED_RECT locked;
  if (FAILED(entry->surface->LockRect(&locked, nullptr, 0))) return false;
  if (!locked.pBits || locked.Pitch < pictureWidth_) {
    entry->surface->UnlockRect();
    return false;
  }
  entry->locked = true;
  *height = pictureHeight_;
  *width = pictureWidth_;
  *pitch = locked.Pitch;
  *bits = static_cast<std::uint8_t*>(locked.pBits);
  return true;
}

bool CDX3DDraw::copyStaged(Entry& entry) {
  YV12Planes from;
  if (!YV12Planes::layout(entry.staging.data(), surfaceSide(pictureWidth_), pictureWidth_, pictureHeight_, &from))
    return false;
  const int width = surfaceSide(pictureWidth_);
  const int height = surfaceSide(pictureHeight_);
  D3DLOCKED_RECT locked;
  if (FAILED(entry.surface->LockRect(&locked, nullptr, 0))) return false;
  YV12Planes to;
  if (!locked.pBits ||
      !YV12Planes::layout(static_cast<std::uint8_t*>(locked.pBits), locked.Pitch, width, height, &to)) {
    entry.surface->UnlockRect();
    return false;
  }
  // The extra row and column repeat the picture's last, so that filtering at
  // the picture's edge blends in nothing else. The chroma planes have the
  // same size in both layouts.
  for (int row = 0; row < height; ++row) {
    std::uint8_t* line = to.y + static_cast<std::size_t>(row) * to.pitchY;
    const int source = row < pictureHeight_ ? row : pictureHeight_ - 1;
    std::memcpy(line, from.y + static_cast<std::size_t>(source) * from.pitchY, static_cast<std::size_t>(pictureWidth_));
    if (width > pictureWidth_) line[pictureWidth_] = line[pictureWidth_ - 1];
  }
  for (int row = 0; row < from.chromaHeight(); ++row) {
    const std::size_t bytes = static_cast<std::size_t>(from.chromaWidth());
    std::memcpy(to.v + static_cast<std::size_t>(row) * to.pitchC, from.v + static_cast<std::size_t>(row) * from.pitchC,
                bytes);
    std::memcpy(to.u + static_cast<std::size_t>(row) * to.pitchC, from.u + static_cast<std::size_t>(row) * from.pitchC,
                bytes);
  }
  entry.surface->UnlockRect();
  return true;
}

void CDX3DDraw::unlockSurface(VideoSurface surface) {
  sys::Guard guard(lock_);
  Entry* entry = find(surface);
  if (!entry || !entry->locked) return;
  entry->locked = false;
  if (!entry->surface) return;
  if ((pictureWidth_ | pictureHeight_) & 1) {
    entry->written = copyStaged(*entry);
    return;
  }
  entry->surface->UnlockRect();
  entry->written = true;
}

bool CDX3DDraw::present(int, int, VideoSurface surface) {
  sys::Guard guard(lock_);
  if (resetPending_) {
    // The pictures went with the old device; the next ones are written anew.
    recreateDevice();
    return false;
  }
  Entry* entry = find(surface);
  if (!entry || !entry->surface || !entry->written || entry->locked || !resourcesReady_) return false;
  HRESULT hr = drawSurface(entry->surface, pictureWidth_, pictureHeight_);
  if (hr == D3DERR_DEVICELOST) {
    const HRESULT state = device_->TestCooperativeLevel();
    if (state == D3DERR_DEVICENOTRESET) {
      resetPending_ = true;
      recreateDevice();
      return false;
    }
    hr = state;
  }
  if (hr != D3D_OK) return false;
  pictureDrawn_ = true;
  if (!holdPresents_) {
    presentToWindow();
    // A new device's first presents are slow (under Wine, a few hundred ms
    // each for the first two: each buffer of the swap chain is set up at its
    // first use). They are all paid with the first picture, which the player
    // shows before its clock starts, rather than by the pictures after it.
    for (; warmPresents_ > 0 && device_ && !resetPending_; --warmPresents_)
      if (SUCCEEDED(drawQuad())) presentToWindow();
  }
  return true;
}

HRESULT CDX3DDraw::createDevice() {
  releaseVideoResources();
  releaseDeviceObjects();
  if (!d3d9Module_) {
    d3d9Module_ = LoadLibraryA("d3d9.dll");
    if (!d3d9Module_) return HRESULT_FROM_WIN32(GetLastError());
  }
  using Create = IDirect3D9*(WINAPI*)(UINT);
  const auto create = reinterpret_cast<Create>(
      reinterpret_cast<void*>(GetProcAddress(d3d9Module_, "Direct3DCreate9")));
  if (!create) return E_FAIL;
  direct3d_ = create(D3D_SDK_VERSION);
  if (!direct3d_) return E_FAIL;
  const UINT adapter = chooseAdapter();
  D3DPRESENT_PARAMETERS parameters;
  HRESULT hr = fillPresentParameters(&parameters);
  if (FAILED(hr)) return hr;
  hr = direct3d_->CreateDevice(adapter, D3DDEVTYPE_HAL, nullptr,
                               D3DCREATE_SOFTWARE_VERTEXPROCESSING | D3DCREATE_MULTITHREADED,
                               &parameters, &device_);
  if (FAILED(hr) || !device_) {
    device_ = nullptr;
    return FAILED(hr) ? hr : E_FAIL;
  }
  hr = device_->GetRenderTarget(0, &renderTarget_);
  if (FAILED(hr)) return hr;
  // The back buffer and the front one.
  warmPresents_ = 1;
  return setupRenderStates();
}

UINT CDX3DDraw::chooseAdapter() {
  const HMONITOR monitor = MonitorFromWindow(window_, MONITOR_DEFAULTTOPRIMARY);
  const UINT count = direct3d_->GetAdapterCount();
  for (UINT adapter = 0; adapter < count; ++adapter)
    if (direct3d_->GetAdapterMonitor(adapter) == monitor) return adapter;
  return D3DADAPTER_DEFAULT;
}

HRESULT CDX3DDraw::fillPresentParameters(D3DPRESENT_PARAMETERS* parameters) {
  std::memset(parameters, 0, sizeof *parameters);
  D3DDISPLAYMODE mode;
  const HRESULT hr = direct3d_->GetAdapterDisplayMode(chooseAdapter(), &mode);
  if (FAILED(hr)) return hr;
  parameters->BackBufferWidth = static_cast<UINT>(backBufferWidth_);
  parameters->BackBufferHeight = static_cast<UINT>(backBufferHeight_);
  parameters->BackBufferFormat = mode.Format;
  parameters->SwapEffect = D3DSWAPEFFECT_DISCARD;
  parameters->hDeviceWindow = window_;
  parameters->Windowed = TRUE;
  return D3D_OK;
}

HRESULT CDX3DDraw::setupRenderStates() {
  D3DCAPS9 caps;
  HRESULT hr = device_->GetDeviceCaps(&caps);
  if (FAILED(hr)) return hr;
  const DWORD filters = caps.TextureFilterCaps;
  const struct {
    bool sampler;
    DWORD state;
    DWORD value;
  } steps[] = {
      {true, D3DSAMP_MAGFILTER,
       static_cast<DWORD>(bestFilter(filters, D3DPTFILTERCAPS_MAGFGAUSSIANQUAD,
                                     D3DPTFILTERCAPS_MAGFPYRAMIDALQUAD, D3DPTFILTERCAPS_MAGFLINEAR))},
      {true, D3DSAMP_MINFILTER,
       static_cast<DWORD>(bestFilter(filters, D3DPTFILTERCAPS_MINFGAUSSIANQUAD,
                                     D3DPTFILTERCAPS_MINFPYRAMIDALQUAD, D3DPTFILTERCAPS_MINFLINEAR))},
      {true, D3DSAMP_ADDRESSU, D3DTADDRESS_CLAMP},
      {true, D3DSAMP_ADDRESSV, D3DTADDRESS_CLAMP},
      {false, D3DRS_CULLMODE, D3DCULL_NONE},
      {false, D3DRS_LIGHTING, FALSE},
      {false, D3DRS_ZENABLE, FALSE},
      {false, D3DRS_ALPHABLENDENABLE, FALSE},
  };
  for (const auto& step : steps) {
    hr = step.sampler ? device_->SetSamplerState(0, static_cast<D3DSAMPLERSTATETYPE>(step.state), step.value)
                      : device_->SetRenderState(static_cast<D3DRENDERSTATETYPE>(step.state), step.value);
    if (FAILED(hr)) return hr;
  }
  hr = device_->SetTextureStageState(0, D3DTSS_COLOROP, D3DTOP_SELECTARG1);
  if (SUCCEEDED(hr)) hr = device_->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
  if (SUCCEEDED(hr)) hr = device_->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_DISABLE);
  return hr;
}

HRESULT CDX3DDraw::allocateVideoResources() {
  if (!device_) return E_FAIL;
  D3DCAPS9 caps;
  HRESULT hr = device_->GetDeviceCaps(&caps);
  if (FAILED(hr)) return hr;
  const bool pow2 = forcePow2_ || (caps.TextureCaps & D3DPTEXTURECAPS_POW2);
  textureWidth_ = textureSide(pictureWidth_, pow2);
  textureHeight_ = textureSide(pictureHeight_, pow2);
  releaseVideoResources();
  // Most drivers refuse a YV12 render target; X8R8G8B8 makes the stretch a
  // YUV to RGB conversion.
  hr = device_->CreateTexture(textureWidth_, textureHeight_, 1, D3DUSAGE_RENDERTARGET, formatYV12,
                              D3DPOOL_DEFAULT, &texture_, nullptr);
  if (FAILED(hr))
    hr = device_->CreateTexture(textureWidth_, textureHeight_, 1, D3DUSAGE_RENDERTARGET, D3DFMT_X8R8G8B8,
                                D3DPOOL_DEFAULT, &texture_, nullptr);
  if (FAILED(hr)) {
    texture_ = nullptr;
    return hr;
  }
  for (Entry& entry : surfaces_) {
    hr = device_->CreateOffscreenPlainSurface(surfaceSide(pictureWidth_), surfaceSide(pictureHeight_), formatYV12,
                                              D3DPOOL_DEFAULT, &entry.surface, nullptr);
    if (FAILED(hr)) {
      entry.surface = nullptr;
      releaseVideoResources();
      return hr;
    }
  }
  hr = setupQuad(textureWidth_, textureHeight_);
  if (FAILED(hr)) {
    releaseVideoResources();
    return hr;
  }
  resourcesReady_ = true;
  return D3D_OK;
}

HRESULT CDX3DDraw::setupQuad(int textureWidth, int textureHeight) {
  float w = static_cast<float>(backBufferWidth_);
  float h = static_cast<float>(backBufferHeight_);
  if (backBufferWidth_ == 0 || backBufferHeight_ == 0) {
    D3DDISPLAYMODE mode;
    const HRESULT hr = direct3d_->GetAdapterDisplayMode(chooseAdapter(), &mode);
    if (FAILED(hr)) return hr;
    w = static_cast<float>(mode.Width);
    h = static_cast<float>(mode.Height);
  }
  const float u = static_cast<float>(pictureWidth_) / static_cast<float>(textureWidth);
  const float v = static_cast<float>(pictureHeight_) / static_cast<float>(textureHeight);
  // Half a pixel up and left puts texel centres on pixel centres.
  const float corners[4][4] = {
      {-0.5f, -0.5f, 0.0f, 0.0f}, {w - 0.5f, -0.5f, u, 0.0f}, {w - 0.5f, h - 0.5f, u, v}, {-0.5f, h - 0.5f, 0.0f, v}};
  for (int i = 0; i < 4; ++i) {
    vertices_[i].x = corners[i][0];
    vertices_[i].y = corners[i][1];
    vertices_[i].u = corners[i][2];
    vertices_[i].v = corners[i][3];
  }
  release(quad_);
  HRESULT hr = device_->CreateVertexBuffer(sizeof vertices_, D3DUSAGE_WRITEONLY, vertexFormat, D3DPOOL_MANAGED,
                                           &quad_, nullptr);
  if (FAILED(hr)) {
    quad_ = nullptr;
    return hr;
  }
  void* bytes = nullptr;
  hr = quad_->Lock(0, 0, &bytes, 0);
  if (FAILED(hr)) return hr;
  std::memcpy(bytes, vertices_, sizeof vertices_);
  return quad_->Unlock();
}

void CDX3DDraw::setDisplayShape(int width, int height) {
  sys::Guard guard(lock_);
  const bool shaped = width > 0 && height > 0;
  shapeWidth_ = shaped ? width : 0;
  shapeHeight_ = shaped ? height : 0;
}

bool CDX3DDraw::placeQuad() {
  if (backBufferWidth_ <= 0 || backBufferHeight_ <= 0) return true;  // the quad setupQuad made stays
  float left = 0.0f, top = 0.0f;
  float right = static_cast<float>(backBufferWidth_), bottom = static_cast<float>(backBufferHeight_);
  pictureLeft_ = pictureTop_ = 0;
  pictureRight_ = backBufferWidth_;
  pictureBottom_ = backBufferHeight_;
  clientToBufferX_ = clientToBufferY_ = 1.0f;
  RECT client;
  // Read from the window's own record: no message, so any thread may ask.
  const bool sized = GetClientRect(window_, &client) && client.right > 0 && client.bottom > 0;
  if (sized) {
    pictureRight_ = client.right;
    pictureBottom_ = client.bottom;
    clientToBufferX_ = static_cast<float>(backBufferWidth_) / static_cast<float>(client.right);
    clientToBufferY_ = static_cast<float>(backBufferHeight_) / static_cast<float>(client.bottom);
  }
  if (shapeWidth_ > 0 && shapeHeight_ > 0 && sized) {
    // Present stretches the back buffer over the client area: the picture's
    // place there is its display shape's fit in the client area, shrunk back
    // by that stretch.
    const std::int64_t clientWidth = client.right;
    const std::int64_t clientHeight = client.bottom;
    std::int64_t fitWidth = clientWidth;
    std::int64_t fitHeight = (clientWidth * shapeHeight_ + shapeWidth_ / 2) / shapeWidth_;
    if (fitHeight > clientHeight) {
      fitHeight = clientHeight;
      fitWidth = (clientHeight * shapeWidth_ + shapeHeight_ / 2) / shapeHeight_;
    }
    if (fitWidth < 1) fitWidth = 1;
    if (fitHeight < 1) fitHeight = 1;
    pictureLeft_ = static_cast<int>((clientWidth - fitWidth) / 2);
    pictureTop_ = static_cast<int>((clientHeight - fitHeight) / 2);
    pictureRight_ = pictureLeft_ + static_cast<int>(fitWidth);
    pictureBottom_ = pictureTop_ + static_cast<int>(fitHeight);
    left = static_cast<float>(pictureLeft_) * clientToBufferX_;
    top = static_cast<float>(pictureTop_) * clientToBufferY_;
    right = static_cast<float>(pictureRight_) * clientToBufferX_;
    bottom = static_cast<float>(pictureBottom_) * clientToBufferY_;
  }
  const bool covers = left <= 0.0f && top <= 0.0f && right >= static_cast<float>(backBufferWidth_) &&
                      bottom >= static_cast<float>(backBufferHeight_);
  // Half a pixel up and left puts texel centres on pixel centres.
  const float xs[4] = {left, right, right, left};
  const float ys[4] = {top, top, bottom, bottom};
  bool moved = false;
  for (int i = 0; i < 4; ++i) {
    moved = moved || vertices_[i].x != xs[i] - 0.5f || vertices_[i].y != ys[i] - 0.5f;
    vertices_[i].x = xs[i] - 0.5f;
    vertices_[i].y = ys[i] - 0.5f;
  }
  void* bytes = nullptr;
  if (moved && quad_ && SUCCEEDED(quad_->Lock(0, 0, &bytes, 0))) {
    std::memcpy(bytes, vertices_, sizeof vertices_);
    quad_->Unlock();
  }
  return covers;
}

void CDX3DDraw::showPositionBar(double fraction, const char* label, bool visible) {
  sys::Guard guard(lock_);
  barVisible_ = visible;
  barFraction_ = fraction;
  barLabel_ = label ? label : "";
}

bool CDX3DDraw::redraw() {
  sys::Guard guard(lock_);
  if (resetPending_ || !resourcesReady_ || !pictureDrawn_ || !device_) return false;
  // The texture still holds the last picture: only the quad is drawn again.
  if (FAILED(drawQuad())) return false;
  if (!holdPresents_) presentToWindow();
  return true;
}

HRESULT CDX3DDraw::drawPositionBar() {
  // Laid out in the client area's pixels, so that the font's pixels stay
  // square, and stretched back with the back buffer when presented.
  const std::vector<PositionBarRect> rects =
      positionBarLayout(pictureLeft_, pictureTop_, pictureRight_ - pictureLeft_, pictureBottom_ - pictureTop_,
                        barFraction_, barLabel_);
  if (rects.empty()) return D3D_OK;
  struct ColourVertex {
    float x, y, z, rhw;
    D3DCOLOR colour;
  };
  std::vector<ColourVertex> vertices;
  vertices.reserve(rects.size() * 6);
  for (const PositionBarRect& rect : rects) {
    const PositionBarColour c = positionBarColour(rect.kind);
    const D3DCOLOR colour = D3DCOLOR_ARGB(c.a, c.r, c.g, c.b);
    const float left = static_cast<float>(rect.x) * clientToBufferX_ - 0.5f;
    const float top = static_cast<float>(rect.y) * clientToBufferY_ - 0.5f;
    const float right = static_cast<float>(rect.x + rect.width) * clientToBufferX_ - 0.5f;
    const float bottom = static_cast<float>(rect.y + rect.height) * clientToBufferY_ - 0.5f;
    for (const auto& corner : {std::make_pair(left, top), std::make_pair(right, top), std::make_pair(right, bottom),
                               std::make_pair(left, top), std::make_pair(right, bottom), std::make_pair(left, bottom)})
      vertices.push_back({corner.first, corner.second, 1.0f, 1.0f, colour});
  }
  // The colour comes from the vertices, blended by their alpha; the picture's
  // states come back afterwards.
  HRESULT hr = device_->SetTexture(0, nullptr);
  if (SUCCEEDED(hr)) hr = device_->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_DIFFUSE);
  if (SUCCEEDED(hr)) hr = device_->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_SELECTARG1);
  if (SUCCEEDED(hr)) hr = device_->SetTextureStageState(0, D3DTSS_ALPHAARG1, D3DTA_DIFFUSE);
  if (SUCCEEDED(hr)) hr = device_->SetRenderState(D3DRS_ALPHABLENDENABLE, TRUE);
  if (SUCCEEDED(hr)) hr = device_->SetRenderState(D3DRS_SRCBLEND, D3DBLEND_SRCALPHA);
  if (SUCCEEDED(hr)) hr = device_->SetRenderState(D3DRS_DESTBLEND, D3DBLEND_INVSRCALPHA);
  if (SUCCEEDED(hr)) hr = device_->SetFVF(D3DFVF_XYZRHW | D3DFVF_DIFFUSE);
  if (SUCCEEDED(hr))
    hr = device_->DrawPrimitiveUP(D3DPT_TRIANGLELIST, static_cast<UINT>(vertices.size() / 3), vertices.data(),
                                  sizeof(ColourVertex));
  device_->SetRenderState(D3DRS_ALPHABLENDENABLE, FALSE);
  device_->SetTextureStageState(0, D3DTSS_COLORARG1, D3DTA_TEXTURE);
  device_->SetTextureStageState(0, D3DTSS_ALPHAOP, D3DTOP_DISABLE);
  return hr;
}

HRESULT CDX3DDraw::drawSurface(IDirect3DSurface9* surface, int width, int height) {
  if (!device_ || !texture_ || !quad_ || !renderTarget_) return E_FAIL;
  HRESULT hr = device_->SetRenderTarget(0, renderTarget_);
  if (FAILED(hr)) return hr;
  IDirect3DSurface9* level = nullptr;
  hr = texture_->GetSurfaceLevel(0, &level);
  if (FAILED(hr)) return hr;
  const RECT area{0, 0, width, height};
  // The device converts the YV12 picture to the texture's format here.
  hr = device_->StretchRect(surface, &area, level, &area, D3DTEXF_NONE);
  if (SUCCEEDED(hr)) hr = drawQuad();
  level->Release();
  return hr;
}

HRESULT CDX3DDraw::drawQuad() {
  const bool covers = placeQuad();
  // Nothing drawn: the last back buffer is presented again.
  if (FAILED(device_->BeginScene())) return D3D_OK;
  HRESULT hr = D3D_OK;
  // The bars round a picture of another shape than the window's are black.
  if (!covers) hr = device_->Clear(0, nullptr, D3DCLEAR_TARGET, D3DCOLOR_XRGB(0, 0, 0), 1.0f, 0);
  if (SUCCEEDED(hr)) hr = device_->SetTexture(0, texture_);
  if (SUCCEEDED(hr)) hr = device_->SetStreamSource(0, quad_, 0, sizeof(Vertex));
  if (SUCCEEDED(hr)) hr = device_->SetFVF(vertexFormat);
  if (SUCCEEDED(hr)) hr = device_->DrawPrimitive(D3DPT_TRIANGLEFAN, 0, 2);
  if (SUCCEEDED(hr)) hr = device_->SetTexture(0, nullptr);
  if (SUCCEEDED(hr) && barVisible_) hr = drawPositionBar();
  device_->EndScene();
  return hr;
}

void CDX3DDraw::presentToWindow() {
  if (!device_) return;
  const RECT source{0, 0, backBufferWidth_, backBufferHeight_};
  // Scaled to the window's client area.
  if (device_->Present(&source, nullptr, window_, nullptr) == D3DERR_DEVICELOST &&
      device_->TestCooperativeLevel() == D3DERR_DEVICENOTRESET) {
    resetPending_ = true;
    recreateDevice();
  }
}

void CDX3DDraw::recreateDevice() {
  // A decoder writing into a surface would write into freed memory; it is
  // done in a moment, and the next present tries again.
  for (const Entry& entry : surfaces_)
    if (entry.locked) return;
  releaseVideoResources();
  if (FAILED(createDevice())) return;  // still lost: tried again on the next present
  resetPending_ = false;
  // Every handle stays; the surfaces behind them are new and hold no picture
  // until a decoder writes them again.
  allocateVideoResources();
}

void CDX3DDraw::releaseVideoResources() {
  release(texture_);
  pictureDrawn_ = false;
  for (Entry& entry : surfaces_) {
    release(entry.surface);
    entry.locked = false;
    entry.written = false;
  }
  resourcesReady_ = false;
}

void CDX3DDraw::releaseDeviceObjects() {
  release(renderTarget_);
  release(quad_);
  release(device_);
  release(direct3d_);
}

IDirect3DDevice9* CDX3DDraw::deviceForTest() {
  sys::Guard guard(lock_);
  return device_;
}

CDX3DDraw::Geometry CDX3DDraw::geometryForTest() {
  sys::Guard guard(lock_);
  return {textureWidth_, textureHeight_, vertices_[2].u, vertices_[2].v, texture_ != nullptr};
}

void CDX3DDraw::forcePowerOfTwoForTest(bool force) {
  sys::Guard guard(lock_);
  forcePow2_ = force;
}

void CDX3DDraw::holdPresentsForTest(bool hold) {
  sys::Guard guard(lock_);
  holdPresents_ = hold;
}

void CDX3DDraw::simulateDeviceResetForTest() {
  sys::Guard guard(lock_);
  resetPending_ = true;
}

}  // namespace kolm
