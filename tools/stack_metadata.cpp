#include "stack_metadata.h"

#include <cstdio>

namespace tool {
namespace {

std::string number(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.12g", value);
  return text;
}

double interval(const StackFacts& f) {
  if (f.period > 0) return f.period;
  const std::size_t n = f.times.size();
  return n > 1 ? (f.times.back() - f.times.front()) / static_cast<double>(n - 1) : 0.0;
}

std::string pixelType(const StackFacts& f) {
  if (f.bits == 8) return "uint8";
  return f.isSigned ? "int16" : "uint16";
}

std::string escaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '&')
      out += "&amp;";
    else if (c == '<')
      out += "&lt;";
    else if (c == '>')
      out += "&gt;";
    else
      out += c;
  }
  return out;
}

}  // namespace

std::string imagejDescription(const StackFacts& f) {
  const std::string pages = std::to_string(f.times.size());
  std::string text = "ImageJ=1.11a\nimages=" + pages + "\nframes=" + pages + "\n";
  if (f.times.size() > 1) text += "hyperstack=true\nfinterval=" + number(interval(f)) + "\n";
  text += "unit=pixel\nloop=false\n";
  text += "frameType=" + f.frameType + "\n";
  if (!f.bayer.empty()) text += "bayer=" + f.bayer + "\n";
  if (!f.times.empty())
    text += "number=" + std::to_string(f.firstNumber) + "\ntime=" + number(f.times.front()) + "\n";
  return text;
}

std::string omeXml(const StackFacts& f) {
  const std::size_t pages = f.times.size();
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<OME xmlns=\"http://www.openmicroscopy.org/Schemas/OME/2016-06\" "
      "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
      "xsi:schemaLocation=\"http://www.openmicroscopy.org/Schemas/OME/2016-06 "
      "http://www.openmicroscopy.org/Schemas/OME/2016-06/ome.xsd\" Creator=\"corvane-host\">";
  xml += "<Image ID=\"Image:0\" Name=\"frames\">";
  // The first frame's instant, so that it plus a plane's DeltaT is that plane's.
  if (!f.firstUtc.empty()) xml += "<AcquisitionDate>" + f.firstUtc + "</AcquisitionDate>";
  if (!f.firstDescription.empty())
    xml += "<Description>" + escaped(f.firstDescription) + "</Description>";
  xml += "<Pixels ID=\"Pixels:0\" DimensionOrder=\"XYCZT\" Type=\"" + pixelType(f) + "\" SizeX=\"" +
         std::to_string(f.width) + "\" SizeY=\"" + std::to_string(f.height) + "\" SizeC=\"" +
         std::to_string(f.samples) + "\" SizeZ=\"1\" SizeT=\"" + std::to_string(pages) +
         "\" BigEndian=\"false\" Interleaved=\"" + (f.samples > 1 ? "true" : "false") + "\"";
  if (pages > 1) xml += " TimeIncrement=\"" + number(interval(f)) + "\" TimeIncrementUnit=\"s\"";
  xml += "><Channel ID=\"Channel:0:0\" SamplesPerPixel=\"" + std::to_string(f.samples) + "\"/>";
  xml += "<TiffData IFD=\"0\" PlaneCount=\"" + std::to_string(pages) + "\"/>";
  for (std::size_t i = 0; i < pages; ++i)
    xml += "<Plane TheZ=\"0\" TheT=\"" + std::to_string(i) + "\" TheC=\"0\" DeltaT=\"" +
           number(f.times[i] - f.times.front()) + "\" DeltaTUnit=\"s\"/>";
  xml += "</Pixels></Image></OME>\n";
  return xml;
}

}  // namespace tool
