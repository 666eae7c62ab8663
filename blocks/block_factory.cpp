#include "blocks/block_factory.h"

#include "blocks/opcua/opcua_poll_block.h"
#include "blocks/opcua/opcua_sink_flat.h"
#include "blocks/opcua/opcua_subscribe_block.h"
#include "blocks/queue/zeb_out_queue_block.h"
#include "blocks/splitter/basic_splitter_block.h"
#include "blocks/splitter/json_splitter_block.h"
#include "blocks/test/dump_string_block.h"
#include "blocks/test/repeating_string_block.h"
#include "blocks/timeseries/flat_to_timeseries.h"
#include "blocks/timeseries/json_to_timeseries.h"
#include "blocks/zeb/zeb_in_block.h"
#include "blocks/zeb/zeb_out_block.h"

namespace {

template <typename T>
std::unique_ptr<qor::Block> make(const std::string& name, const nlohmann::json& config) {
  return std::make_unique<T>(name, config);
}

}  // namespace

// The one place where block types are made known to the program.
const std::map<std::string, BlockFactory>& block_factories() {
  static const std::map<std::string, BlockFactory> table = {
      {"DUMPSTRINGBLOCK", make<DumpStringBlock>},
      {"FLATTOTIMESERIES", make<FlatToTimeseries>},
      {"JSONSPLIT", make<JsonSplitterBlock>},
      {"JSONTOTIMESERIES", make<JsonToTimeseries>},
      {"OPCUAPOLLFLAT", make<OpcuaPollBlock>},
      {"OPCUASINKFLAT", make<OpcuaSinkFlat>},
      {"OPCUASUBFLAT", make<OpcuaSubscribeBlock>},
      {"REPSTR", make<RepeatingStringBlock>},
      {"SPLITTER", make<BasicSplitterBlock>},
      {"ZEBIN", make<ZebInBlock>},
      {"ZEBOUT", make<ZebOutBlock>},
      {"ZEBOUTQUEUE", make<ZebOutQueueBlock>},
  };
  return table;
}
