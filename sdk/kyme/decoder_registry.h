// The decoder and encoder channels of the process, by channel number.
#pragma once

namespace kyme {

// Whether systemInitialize has been called (and no systemUninitialize since).
bool media_initialized();

// Destroys every channel, as systemUninitialize does.
void destroy_all_decoder_channels();
void destroy_all_encoder_channels();

}  // namespace kyme
