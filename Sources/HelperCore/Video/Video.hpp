#pragma once

// The live stream's platform-free parts in one include.
#include "HelperCore/Video/AnnexB.hpp"
#include "HelperCore/Video/EncoderPlan.hpp"
#include "HelperCore/Video/FrameScheduler.hpp"
#include "HelperCore/Video/NALUnit.hpp"
#include "HelperCore/Video/StreamSettings.hpp"
