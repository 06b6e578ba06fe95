// capture (Windows): Direct3D 11 / DXGI desktop duplication with partial copies of moved and dirty
// rectangles, and the GDI BitBlt fallback that copies the whole screen every pass.
#include <windows.h>
#include <d3d11.h>
#include <dxgi1_2.h>
#include <stdlib.h>

#include "host/capture.h"
#include "host/log.h"

static_assert(sizeof(CaptureMove) == sizeof(DXGI_OUTDUPL_MOVE_RECT), "move rectangle layout");
static_assert(sizeof(CaptureRect) == sizeof(RECT), "dirty rectangle layout");

struct CaptureWin32 {
    ID3D11Device *device;                 // duplication device
    ID3D11DeviceContext *context;         // its immediate context
    IDXGIOutputDuplication *duplication;  // the primary output's duplication
    ID3D11Texture2D *staging;             // CPU-readable copy of the desktop, picture-sized
    uint8_t *metadata;                    // move rectangles, then dirty rectangles, of one frame
    UINT metadata_cap;                    // its size in bytes (grows, never shrinks)
    HMODULE d3d11;                        // d3d11.dll, loaded on first use
    HDC gdi_dc;                           // memory DC for GDI capture
    HBITMAP gdi_bitmap;                   // top-down 32-bit DIB section, pad_width x height
    HGDIOBJ gdi_old;                      // the DC's bitmap before ours was selected
    uint8_t *gdi_pixels;                  // the DIB's pixels
    int32_t screen_w, screen_h;           // screen size GDI was opened at (for its log line)
    CaptureSize picture;                  // the picture's geometry the buffers were made for
    IDXGIResource *resource;              // the acquired frame until capture_take
    int mapped;                           // 1 while staging is mapped for the pass
};
static CaptureWin32 s_win;

template <typename T> static void capture_com_release(T **p) {
    if (*p) (*p)->Release();
    *p = NULL;
}

static void capture_release_dxgi(void) {
    if (s_win.resource) {
        s_win.duplication->ReleaseFrame();
        capture_com_release(&s_win.resource);
    }
    capture_com_release(&s_win.duplication);
    capture_com_release(&s_win.staging);
    capture_com_release(&s_win.context);
    capture_com_release(&s_win.device);
}

static void capture_release_gdi(void) {
    if (s_win.gdi_dc && s_win.gdi_old) SelectObject(s_win.gdi_dc, s_win.gdi_old);
    if (s_win.gdi_bitmap) DeleteObject(s_win.gdi_bitmap);
    if (s_win.gdi_dc) DeleteDC(s_win.gdi_dc);
    s_win.gdi_dc = NULL;
    s_win.gdi_bitmap = NULL;
    s_win.gdi_old = NULL;
    s_win.gdi_pixels = NULL;
}

void capture_shutdown(void) {
    capture_release_dxgi();
    capture_release_gdi();
    free(s_win.metadata);
    s_win.metadata = NULL;
    s_win.metadata_cap = 0;
}

void capture_screen_size(int32_t *w, int32_t *h) {
    *w = GetSystemMetrics(SM_CXSCREEN);
    *h = GetSystemMetrics(SM_CYSCREEN);
}

// D3D11CreateDevice from d3d11.dll (loaded at run time, so programs start where it is missing).
static HRESULT capture_create_device(void) {
    if (!s_win.d3d11) s_win.d3d11 = LoadLibraryA("d3d11.dll");
    PFN_D3D11_CREATE_DEVICE create =
        s_win.d3d11 ? (PFN_D3D11_CREATE_DEVICE)(void *)GetProcAddress(s_win.d3d11, "D3D11CreateDevice") : NULL;
    if (!create) return HRESULT_FROM_WIN32(GetLastError());
    return create(NULL, D3D_DRIVER_TYPE_HARDWARE, NULL, 0, NULL, 0, D3D11_SDK_VERSION, &s_win.device, NULL,
                  &s_win.context);
}

// Device -> DXGI device -> adapter -> output 0 -> output 1 -> duplication. 0 on any failure.
static int capture_open_duplication(void) {
    IDXGIDevice *dxgi_device = NULL;
    IDXGIAdapter *adapter = NULL;
    IDXGIOutput *output = NULL;
    IDXGIOutput1 *output1 = NULL;
    if (FAILED(s_win.device->QueryInterface(__uuidof(IDXGIDevice), (void **)&dxgi_device))) return 0;
    HRESULT hr = dxgi_device->GetAdapter(&adapter);
    dxgi_device->Release();
    if (FAILED(hr)) return 0;
    hr = adapter->EnumOutputs(0, &output);
    adapter->Release();
    if (FAILED(hr)) return 0;
    hr = output->QueryInterface(__uuidof(IDXGIOutput1), (void **)&output1);
    output->Release();
    if (FAILED(hr)) return 0;
    hr = output1->DuplicateOutput(s_win.device, &s_win.duplication);
    output1->Release();
    if (FAILED(hr)) {
        host_log("DuplicateOutput %08lx", (unsigned long)hr);
        return 0;
    }
    return 1;
}

static int capture_create_staging(void) {
    D3D11_TEXTURE2D_DESC td;
    ZeroMemory(&td, sizeof td);
    td.Width = (UINT)s_win.picture.width;
    td.Height = (UINT)s_win.picture.height;
    td.MipLevels = 1;
    td.ArraySize = 1;
    td.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    td.SampleDesc.Count = 1;
    td.SampleDesc.Quality = 0;
    td.Usage = D3D11_USAGE_STAGING;
    td.BindFlags = 0;
    td.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    td.MiscFlags = 0;
    return SUCCEEDED(s_win.device->CreateTexture2D(&td, NULL, &s_win.staging));
}

void capture_close_dxgi(void) { capture_release_dxgi(); }

// Device, duplication and its output size. 0 on failure (logged), everything released.
static int capture_open_dxgi(int32_t *w, int32_t *h) {
    capture_release_dxgi();
    HRESULT hr = capture_create_device();
    if (FAILED(hr)) {
        host_log("D3D11CreateDevice %08lx", (unsigned long)hr);
        capture_release_dxgi();
        return 0;
    }
    if (!capture_open_duplication()) {
        capture_release_dxgi();
        return 0;
    }
    DXGI_OUTDUPL_DESC desc;
    s_win.duplication->GetDesc(&desc);
    *w = (int32_t)desc.ModeDesc.Width;
    *h = (int32_t)desc.ModeDesc.Height;
    return 1;
}

int capture_open(int dxgi, int32_t *w, int32_t *h) {
    if (dxgi) return capture_open_dxgi(w, h);
    capture_screen_size(w, h);
    s_win.screen_w = *w;
    s_win.screen_h = *h;
    return 1;
}

// The memory DC and its top-down 32-bit DIB, picture-sized, for BitBlt.
static void capture_start_gdi(void) {
    HDC screen = GetDC(NULL);
    capture_release_gdi();
    s_win.gdi_dc = CreateCompatibleDC(screen);
    BITMAPINFO bi;
    ZeroMemory(&bi, sizeof bi);
    bi.bmiHeader.biSize = 40;
    bi.bmiHeader.biWidth = s_win.picture.pad_width;
    bi.bmiHeader.biHeight = -s_win.picture.height;   // top-down rows
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void *bits = NULL;
    s_win.gdi_bitmap = CreateDIBSection(s_win.gdi_dc, &bi, DIB_RGB_COLORS, &bits, NULL, 0);
    s_win.gdi_pixels = s_win.gdi_bitmap ? (uint8_t *)bits : NULL;
    if (s_win.gdi_bitmap) s_win.gdi_old = SelectObject(s_win.gdi_dc, s_win.gdi_bitmap);
    ReleaseDC(NULL, screen);
    host_log("GDI capture %dx%d", s_win.screen_w, s_win.screen_h);
}

int capture_start(int dxgi, const CaptureSize *picture) {
    s_win.picture = *picture;
    if (!dxgi) {
        capture_start_gdi();
        return 1;
    }
    if (!capture_create_staging()) return 0;
    host_log("DXGI duplication %dx%d", picture->width, picture->height);
    return 1;
}

static int capture_grab_gdi(CaptureFrame *f) {
    HDC screen = GetDC(NULL);
    BitBlt(s_win.gdi_dc, 0, 0, s_win.picture.width, s_win.picture.height, screen, 0, 0, SRCCOPY | CAPTUREBLT);
    ReleaseDC(NULL, screen);
    f->image = s_win.gdi_pixels;
    f->pitch = s_win.picture.pad_width * 4;
    Sleep(CAPTURE_GDI_PAUSE_MS);
    return CAPTURE_GRAB_FRAME;
}

// Room for the frame's rectangles: the buffer grows to exactly what the frame needs. 0 without memory.
static int capture_grow_metadata(UINT need) {
    if (need <= s_win.metadata_cap) return 1;
    uint8_t *grown = (uint8_t *)realloc(s_win.metadata, need);
    if (!grown) return 0;
    s_win.metadata = grown;
    s_win.metadata_cap = need;
    return 1;
}

static int capture_grab_dxgi(int full_refresh, int wait, CaptureFrame *f) {
    if (!s_win.duplication) return CAPTURE_GRAB_LOST;
    DXGI_OUTDUPL_FRAME_INFO fi;
    IDXGIResource *resource = NULL;
    HRESULT hr = s_win.duplication->AcquireNextFrame(wait ? CAPTURE_WAIT_MS : 0, &fi, &resource);
    if (hr == DXGI_ERROR_WAIT_TIMEOUT) return CAPTURE_GRAB_NONE;
    if (FAILED(hr)) {
        host_log("AcquireNextFrame %08lx", (unsigned long)hr);
        return CAPTURE_GRAB_LOST;
    }
    if (fi.LastPresentTime.QuadPart == 0 && !full_refresh) {   // only the pointer moved
        s_win.duplication->ReleaseFrame();
        resource->Release();
        return CAPTURE_GRAB_NONE;
    }
    int room = capture_grow_metadata(fi.TotalMetadataBufferSize);
    f->info.last_present_time = fi.LastPresentTime.QuadPart;
    f->info.accumulated_frames = fi.AccumulatedFrames;
    f->info.metadata_bytes = room ? fi.TotalMetadataBufferSize : 0;   // no room: the whole screen
    s_win.resource = resource;
    return CAPTURE_GRAB_FRAME;
}

int capture_grab(int dxgi, int full_refresh, int wait, CaptureFrame *f) {
    return dxgi ? capture_grab_dxgi(full_refresh, wait, f) : capture_grab_gdi(f);
}

// The frame's move and dirty rectangles into the metadata buffer. 0 when they cannot be had.
static int capture_read_metadata(UINT *move_bytes, UINT *dirty_bytes) {
    *move_bytes = *dirty_bytes = 0;
    if (FAILED(s_win.duplication->GetFrameMoveRects(s_win.metadata_cap, (DXGI_OUTDUPL_MOVE_RECT *)s_win.metadata,
                                                   move_bytes)))
        return 0;
    if (FAILED(s_win.duplication->GetFrameDirtyRects(s_win.metadata_cap - *move_bytes,
                                                    (RECT *)(s_win.metadata + *move_bytes), dirty_bytes)))
        return 0;
    return 1;
}

// One rectangle of the desktop texture into the staging texture at the same place.
static void capture_copy_box(ID3D11Texture2D *desktop, LONG left, LONG top, LONG right, LONG bottom) {
    if (left < 0) left = 0;
    if (top < 0) top = 0;
    if (right > s_win.picture.width) right = s_win.picture.width;
    if (bottom > s_win.picture.height) bottom = s_win.picture.height;
    if (right <= left || bottom <= top) return;
    D3D11_BOX box = {(UINT)left, (UINT)top, 0, (UINT)right, (UINT)bottom, 1};
    s_win.context->CopySubresourceRegion(s_win.staging, 0, (UINT)left, (UINT)top, 0, desktop, 0, &box);
}

static void capture_copy_rects(ID3D11Texture2D *desktop, const CaptureFrame *f) {
    for (int i = 0; i < f->move_count; i++) {
        const CaptureMove *m = &f->moves[i];
        capture_copy_box(desktop, m->left, m->top, m->right, m->bottom);
    }
    for (int i = 0; i < f->dirty_count; i++) {
        const CaptureRect *d = &f->dirty[i];
        capture_copy_box(desktop, d->left, d->top, d->right, d->bottom);
    }
}

// The frame's rectangles (when partial and readable) named in f, pointing into the metadata buffer.
static void capture_take_rects(int partial, CaptureFrame *f) {
    UINT move_bytes = 0, dirty_bytes = 0;
    f->partial = partial && capture_read_metadata(&move_bytes, &dirty_bytes);
    if (!f->partial) return;
    f->move_count = (int)(move_bytes / sizeof(CaptureMove));
    f->dirty_count = (int)(dirty_bytes / sizeof(CaptureRect));
    f->moves = (const CaptureMove *)s_win.metadata;
    f->dirty = (const CaptureRect *)(s_win.metadata + f->move_count * sizeof(CaptureMove));
}

// Desktop texture into staging (partial or whole), frame released, staging mapped as f's image.
int capture_take(int partial, CaptureFrame *f) {
    capture_take_rects(partial, f);
    ID3D11Texture2D *desktop = NULL;
    HRESULT hr = s_win.resource->QueryInterface(__uuidof(ID3D11Texture2D), (void **)&desktop);
    capture_com_release(&s_win.resource);
    if (FAILED(hr)) {
        s_win.duplication->ReleaseFrame();
        return 0;
    }
    if (f->partial)
        capture_copy_rects(desktop, f);
    else
        s_win.context->CopyResource(s_win.staging, desktop);
    desktop->Release();
    s_win.duplication->ReleaseFrame();
    D3D11_MAPPED_SUBRESOURCE map;
    if (FAILED(s_win.context->Map(s_win.staging, 0, D3D11_MAP_READ, 0, &map))) return 0;
    s_win.mapped = 1;
    f->image = (const uint8_t *)map.pData;
    f->pitch = (int32_t)map.RowPitch;
    return 1;
}

void capture_release(void) {
    if (s_win.mapped) s_win.context->Unmap(s_win.staging, 0);
    s_win.mapped = 0;
}
