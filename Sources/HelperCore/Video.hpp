#pragma once

// The live stream's platform-free parts in one include.
#include "HelperCore/AnnexB.hpp"
#include "HelperCore/EncoderPlan.hpp"
#include "HelperCore/FrameScheduler.hpp"
#include "HelperCore/StreamSettings.hpp"
