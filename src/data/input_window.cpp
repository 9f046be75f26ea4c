#include "data/input_window.h"

#include <cstdio>

InputWindow::InputWindow()
{
    InputStatus *in = getActiveInput();
    if (!in || !in->batch)
        return;
    if (in->isDocument) {
        in_ = in;
        return;
    }
#if defined(__GLIBC__)
    // The stream's read buffer is looked at in place, as the C library's
    // own getc does: the bytes are then copied nowhere before they are
    // parsed. Other C libraries do not show their buffer; there the window
    // stays empty and the input is read a character at a time.
    if (in->stream && in->stream->fp) {
        in_ = in;
        fp_ = in->stream->fp;
    }
#endif
}

std::span<const char> InputWindow::bytes() const
{
    if (!in_)
        return {};
    if (!fp_)
        return {in_->docText + in_->docIndex, static_cast<size_t>(in_->docLength - in_->docIndex)};
#if defined(__GLIBC__)
    // A stream being written holds no bytes to read.
    if (fp_->_IO_write_ptr > fp_->_IO_write_base || fp_->_IO_read_ptr >= fp_->_IO_read_end)
        return {};
    return {fp_->_IO_read_ptr, static_cast<size_t>(fp_->_IO_read_end - fp_->_IO_read_ptr)};
#else
    return {};
#endif
}

void InputWindow::consume(size_t n)
{
    if (!in_ || n == 0)
        return;
    if (!fp_)
        in_->docIndex += n;
#if defined(__GLIBC__)
    else
        fp_->_IO_read_ptr += n;
#endif
    in_->prevPos = InputPos{static_cast<uint32_t>(in_->pos.charCount + n - 1), in_->pos.lineNum};
    in_->pos.charCount += static_cast<uint32_t>(n);
}
