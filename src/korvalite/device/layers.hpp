#pragma once
// The device layer joins the transport (gige), its control and stream channels and the feature
// model (genicam); these are the short names its files use for them.
#include "korvalite/genicam/graph.hpp"
#include "korvalite/genicam/port.hpp"
#include "korvalite/gige/control/control_channel.hpp"
#include "korvalite/gige/control/control_port.hpp"
#include "korvalite/gige/control/response_handle.hpp"
#include "korvalite/gige/proto/bootstrap.hpp"
#include "korvalite/gige/stream/options.hpp"

namespace korvalite::device {

namespace proto = gige::proto;
namespace stream = gige::stream;
using gige::ControlChannel;
using gige::ControlPort;
using gige::wait_plain;

using genicam::AccessMode;
using genicam::Genicam;
using genicam::NodeId;
using genicam::PortIo;

}  // namespace korvalite::device
