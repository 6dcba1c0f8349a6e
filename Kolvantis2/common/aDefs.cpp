#include "aDefs.h"

namespace {

struct sModelEntry {
  uint32_t model;
  const char* name;
};

const sModelEntry sModels[] = {
    {4, "Alder"},    {5, "Birch"},     {13, "Cedar"},    {14, "Dogwood"},  {15, "Elmwood"},
    {16, "Firwood"}, {17, "Ginkgo"},   {18, "Hazel"},    {19, "Ironwood"}, {20, "Juniper"},
    {21, "Kapok"},   {22, "Larch"},    {23, "Mahogany"}, {24, "Nutmeg"},   {25, "Olivewood"},
    {26, "Quince"},  {27, "Pinewood"},
};

}  // namespace

const char* aDefs_GetModelName(uint32_t model) {
  for (const sModelEntry& entry : sModels) {
    if (entry.model == model) return entry.name;
  }
  return "Unknown";
}
