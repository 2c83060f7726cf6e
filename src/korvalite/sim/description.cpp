#include "korvalite/sim/description.hpp"

namespace korvalite::sim {

namespace {

constexpr std::string_view kDescription = R"xml(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="SimCam-1" VendorName="korvalite"
    ToolTip="Simulated GigE Vision area-scan camera" StandardNameSpace="GEV"
    SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0"
    MajorVersion="1" MinorVersion="0" SubMinorVersion="0"
    ProductGuid="6f1e9c4a-3b2d-4e8f-9a71-5c0d2b8e4f10" VersionGuid="0b7d4e21-8c5a-4f36-b2e9-71d3a6c8f502"
    xmlns="http://www.genicam.org/GenApi/Version_1_1"
    xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance"
    xsi:schemaLocation="http://www.genicam.org/GenApi/Version_1_1 http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd">

  <Category Name="Root" NameSpace="Standard">
    <pFeature>DeviceControl</pFeature>
    <pFeature>ImageFormatControl</pFeature>
    <pFeature>AcquisitionControl</pFeature>
    <pFeature>AnalogControl</pFeature>
    <pFeature>ChunkDataControl</pFeature>
    <pFeature>EventControl</pFeature>
    <pFeature>TransportLayerControl</pFeature>
  </Category>

  <Group Comment="Device control">
    <Category Name="DeviceControl" NameSpace="Standard">
      <pFeature>DeviceVendorName</pFeature>
      <pFeature>DeviceModelName</pFeature>
      <pFeature>DeviceVersion</pFeature>
      <pFeature>DeviceSerialNumber</pFeature>
      <pFeature>DeviceUserID</pFeature>
      <pFeature>DeviceIndicatorMode</pFeature>
    </Category>
    <StringReg Name="DeviceVendorName" NameSpace="Standard">
      <ToolTip>Name of the manufacturer of the device.</ToolTip>
      <Address>0x48</Address>
      <Length>32</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceModelName" NameSpace="Standard">
      <ToolTip>Model of the device.</ToolTip>
      <Address>0x68</Address>
      <Length>32</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceVersion" NameSpace="Standard">
      <ToolTip>Version of the device.</ToolTip>
      <Address>0x88</Address>
      <Length>32</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceSerialNumber" NameSpace="Standard">
      <ToolTip>Serial number of the device.</ToolTip>
      <Address>0xD8</Address>
      <Length>16</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
    </StringReg>
    <StringReg Name="DeviceUserID" NameSpace="Standard">
      <ToolTip>User-programmable name of the device.</ToolTip>
      <Streamable>Yes</Streamable>
      <Address>0xE8</Address>
      <Length>16</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
    </StringReg>
    <Enumeration Name="DeviceIndicatorMode" NameSpace="Standard">
      <ToolTip>Behaviour of the status indicator.</ToolTip>
      <Streamable>Yes</Streamable>
      <EnumEntry Name="Inactive"><Value>0</Value></EnumEntry>
      <EnumEntry Name="Active"><Value>1</Value></EnumEntry>
      <EnumEntry Name="ErrorStatus"><DisplayName>Error Status</DisplayName><Value>2</Value></EnumEntry>
      <pValue>DeviceIndicatorModeBits</pValue>
    </Enumeration>
    <StructReg Comment="StatusControl">
      <Address>0x10040</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Endianess>BigEndian</Endianess>
      <StructEntry Name="AcquisitionActiveBit">
        <AccessMode>RO</AccessMode>
        <Bit>31</Bit>
      </StructEntry>
      <StructEntry Name="FrameEndEventEnableBit">
        <Bit>30</Bit>
      </StructEntry>
      <StructEntry Name="DeviceIndicatorModeBits">
        <LSB>23</LSB>
        <MSB>22</MSB>
      </StructEntry>
    </StructReg>
    <Port Name="Device" NameSpace="Standard">
      <ToolTip>Port to the device's register space.</ToolTip>
    </Port>
  </Group>

  <Group Comment="Image format control">
    <Category Name="ImageFormatControl" NameSpace="Standard">
      <pFeature>SensorWidth</pFeature>
      <pFeature>SensorHeight</pFeature>
      <pFeature>WidthMax</pFeature>
      <pFeature>HeightMax</pFeature>
      <pFeature>Width</pFeature>
      <pFeature>Height</pFeature>
      <pFeature>OffsetX</pFeature>
      <pFeature>OffsetY</pFeature>
      <pFeature>PixelFormat</pFeature>
      <pFeature>TestPattern</pFeature>
    </Category>
    <Integer Name="SensorWidth" NameSpace="Standard">
      <ToolTip>Width of the sensor in pixels.</ToolTip>
      <pValue>SensorWidthReg</pValue>
    </Integer>
    <IntReg Name="SensorWidthReg">
      <Address>0x10014</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="SensorHeight" NameSpace="Standard">
      <ToolTip>Height of the sensor in pixels.</ToolTip>
      <pValue>SensorHeightReg</pValue>
    </Integer>
    <IntReg Name="SensorHeightReg">
      <Address>0x10018</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="WidthMax" NameSpace="Standard">
      <ToolTip>Largest width at the current horizontal offset.</ToolTip>
      <pValue>WidthMaxCalc</pValue>
    </Integer>
    <IntSwissKnife Name="WidthMaxCalc">
      <pVariable Name="SW">SensorWidthReg</pVariable>
      <pVariable Name="OX">OffsetXReg</pVariable>
      <Formula>SW - OX</Formula>
    </IntSwissKnife>
    <Integer Name="HeightMax" NameSpace="Standard">
      <ToolTip>Largest height at the current vertical offset.</ToolTip>
      <pValue>HeightMaxCalc</pValue>
    </Integer>
    <IntSwissKnife Name="HeightMaxCalc">
      <pVariable Name="SH">SensorHeightReg</pVariable>
      <pVariable Name="OY">OffsetYReg</pVariable>
      <Formula>SH - OY</Formula>
    </IntSwissKnife>
    <Integer Name="Width" NameSpace="Standard">
      <ToolTip>Width of the image in pixels.</ToolTip>
      <Streamable>Yes</Streamable>
      <pIsLocked>TLParamsLocked</pIsLocked>
      <pValue>WidthReg</pValue>
      <Min>1</Min>
      <pMax>WidthMax</pMax>
      <Inc>1</Inc>
    </Integer>
    <IntReg Name="WidthReg">
      <Address>0x10000</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="Height" NameSpace="Standard">
      <ToolTip>Height of the image in pixels.</ToolTip>
      <Streamable>Yes</Streamable>
      <pIsLocked>TLParamsLocked</pIsLocked>
      <pValue>HeightReg</pValue>
      <Min>1</Min>
      <pMax>HeightMax</pMax>
      <Inc>1</Inc>
    </Integer>
    <IntReg Name="HeightReg">
      <Address>0x10004</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="OffsetX" NameSpace="Standard">
      <ToolTip>Horizontal offset of the image window on the sensor.</ToolTip>
      <Streamable>Yes</Streamable>
      <pValue>OffsetXReg</pValue>
      <Min>0</Min>
      <pMax>OffsetXMaxCalc</pMax>
      <Inc>1</Inc>
    </Integer>
    <IntSwissKnife Name="OffsetXMaxCalc">
      <pVariable Name="SW">SensorWidthReg</pVariable>
      <pVariable Name="W">WidthReg</pVariable>
      <Formula>SW - W</Formula>
    </IntSwissKnife>
    <IntReg Name="OffsetXReg">
      <pInvalidator>WidthReg</pInvalidator>
      <Address>0x10008</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="OffsetY" NameSpace="Standard">
      <ToolTip>Vertical offset of the image window on the sensor.</ToolTip>
      <Streamable>Yes</Streamable>
      <pValue>OffsetYReg</pValue>
      <Min>0</Min>
      <pMax>OffsetYMaxCalc</pMax>
      <Inc>1</Inc>
    </Integer>
    <IntSwissKnife Name="OffsetYMaxCalc">
      <pVariable Name="SH">SensorHeightReg</pVariable>
      <pVariable Name="H">HeightReg</pVariable>
      <Formula>SH - H</Formula>
    </IntSwissKnife>
    <IntReg Name="OffsetYReg">
      <pInvalidator>HeightReg</pInvalidator>
      <Address>0x1000C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="PixelFormat" NameSpace="Standard">
      <ToolTip>Format of the pixels in the image.</ToolTip>
      <Streamable>Yes</Streamable>
      <pIsLocked>TLParamsLocked</pIsLocked>
      <EnumEntry Name="Mono8"><Value>17301505</Value></EnumEntry>
      <EnumEntry Name="Mono10"><Value>17825795</Value></EnumEntry>
      <EnumEntry Name="Mono12"><Value>17825797</Value></EnumEntry>
      <EnumEntry Name="Mono16"><Value>17825799</Value></EnumEntry>
      <EnumEntry Name="BayerRG8"><Value>17301513</Value></EnumEntry>
      <EnumEntry Name="BayerGB8"><Value>17301514</Value></EnumEntry>
      <EnumEntry Name="RGB8"><Value>35127316</Value></EnumEntry>
      <EnumEntry Name="BGR8"><Value>35127317</Value></EnumEntry>
      <EnumEntry Name="Mono10p"><Value>17432646</Value></EnumEntry>
      <EnumEntry Name="Mono12p"><Value>17563719</Value></EnumEntry>
      <EnumEntry Name="Mono12Packed"><Value>17563654</Value></EnumEntry>
      <EnumEntry Name="BayerGR8"><Value>17301512</Value></EnumEntry>
      <EnumEntry Name="BayerBG8"><Value>17301515</Value></EnumEntry>
      <EnumEntry Name="BayerRG10"><Value>17825805</Value></EnumEntry>
      <EnumEntry Name="BayerGB10"><Value>17825806</Value></EnumEntry>
      <EnumEntry Name="BayerGR10"><Value>17825804</Value></EnumEntry>
      <EnumEntry Name="BayerBG10"><Value>17825807</Value></EnumEntry>
      <EnumEntry Name="BayerRG10p"><Value>17432664</Value></EnumEntry>
      <EnumEntry Name="BayerGB10p"><Value>17432660</Value></EnumEntry>
      <EnumEntry Name="BayerGR10p"><Value>17432662</Value></EnumEntry>
      <EnumEntry Name="BayerBG10p"><Value>17432658</Value></EnumEntry>
      <EnumEntry Name="BayerRG12"><Value>17825809</Value></EnumEntry>
      <EnumEntry Name="BayerGB12"><Value>17825810</Value></EnumEntry>
      <EnumEntry Name="BayerGR12"><Value>17825808</Value></EnumEntry>
      <EnumEntry Name="BayerBG12"><Value>17825811</Value></EnumEntry>
      <EnumEntry Name="BayerRG12p"><Value>17563737</Value></EnumEntry>
      <EnumEntry Name="BayerGB12p"><Value>17563733</Value></EnumEntry>
      <EnumEntry Name="BayerGR12p"><Value>17563735</Value></EnumEntry>
      <EnumEntry Name="BayerBG12p"><Value>17563731</Value></EnumEntry>
      <EnumEntry Name="BayerRG12Packed"><Value>17563691</Value></EnumEntry>
      <EnumEntry Name="BayerGR12Packed"><Value>17563690</Value></EnumEntry>
      <EnumEntry Name="YUV422_8"><Value>34603058</Value></EnumEntry>
      <EnumEntry Name="YCbCr422_8"><Value>34603067</Value></EnumEntry>
      <pValue>PixelFormatReg</pValue>
    </Enumeration>
    <IntReg Name="PixelFormatReg">
      <Address>0x10010</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="TestPattern" NameSpace="Standard">
      <ToolTip>Off: the scene in front of the camera, as bright as exposure and gain make it; else a test pattern.</ToolTip>
      <Description>GreyDiagonalRampMoving: every pixel is (x + 2 y + 3 frame) modulo the format's range, so a receiver can check every byte.</Description>
      <Streamable>Yes</Streamable>
      <EnumEntry Name="Off"><Value>0</Value></EnumEntry>
      <EnumEntry Name="GreyDiagonalRampMoving"><DisplayName>Grey Diagonal Ramp Moving</DisplayName><Value>1</Value></EnumEntry>
      <pValue>TestPatternReg</pValue>
    </Enumeration>
    <IntReg Name="TestPatternReg">
      <Address>0x10088</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
  </Group>

  <Group Comment="Acquisition control">
    <Category Name="AcquisitionControl" NameSpace="Standard">
      <pFeature>AcquisitionMode</pFeature>
      <pFeature>AcquisitionStart</pFeature>
      <pFeature>AcquisitionStop</pFeature>
      <pFeature>AcquisitionFrameCount</pFeature>
      <pFeature>AcquisitionFrameRateEnable</pFeature>
      <pFeature>AcquisitionFrameRate</pFeature>
      <pFeature>ExposureTime</pFeature>
      <pFeature>AcquisitionActive</pFeature>
      <pFeature>FrameEndEventEnable</pFeature>
      <pFeature>TriggerSelector</pFeature>
      <pFeature>TriggerMode</pFeature>
      <pFeature>TriggerSource</pFeature>
      <pFeature>TriggerActivation</pFeature>
      <pFeature>TriggerSoftware</pFeature>
    </Category>
    <Enumeration Name="AcquisitionMode" NameSpace="Standard">
      <ToolTip>Number of frames one AcquisitionStart produces.</ToolTip>
      <Streamable>Yes</Streamable>
      <EnumEntry Name="Continuous"><Value>0</Value></EnumEntry>
      <EnumEntry Name="SingleFrame"><Value>1</Value></EnumEntry>
      <EnumEntry Name="MultiFrame"><Value>2</Value></EnumEntry>
      <pValue>AcquisitionModeReg</pValue>
    </Enumeration>
    <IntReg Name="AcquisitionModeReg">
      <Address>0x1001C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="AcquisitionStart" NameSpace="Standard">
      <ToolTip>Starts the acquisition.</ToolTip>
      <pValue>AcquisitionStartReg</pValue>
      <CommandValue>1</CommandValue>
    </Command>
    <IntReg Name="AcquisitionStartReg">
      <Address>0x10024</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="AcquisitionStop" NameSpace="Standard">
      <ToolTip>Stops the acquisition at the end of the current frame.</ToolTip>
      <pValue>AcquisitionStopReg</pValue>
      <CommandValue>1</CommandValue>
    </Command>
    <IntReg Name="AcquisitionStopReg">
      <Address>0x10028</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="AcquisitionFrameCount" NameSpace="Standard">
      <ToolTip>Frames produced by one AcquisitionStart in MultiFrame mode.</ToolTip>
      <Streamable>Yes</Streamable>
      <pValue>AcquisitionFrameCountReg</pValue>
      <Min>1</Min>
      <Max>65535</Max>
      <Inc>1</Inc>
    </Integer>
    <IntReg Name="AcquisitionFrameCountReg">
      <Address>0x10020</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Boolean Name="AcquisitionFrameRateEnable" NameSpace="Standard">
      <ToolTip>Paces frames at AcquisitionFrameRate; when off, frames follow each other at once.</ToolTip>
      <Streamable>Yes</Streamable>
      <pValue>AcquisitionFrameRateEnableReg</pValue>
      <OnValue>1</OnValue>
      <OffValue>0</OffValue>
    </Boolean>
    <IntReg Name="AcquisitionFrameRateEnableReg">
      <Address>0x1002C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Float Name="AcquisitionFrameRate" NameSpace="Standard">
      <ToolTip>Frame rate in Hz; lowered by the device when the exposure no longer fits.</ToolTip>
      <Streamable>Yes</Streamable>
      <pValue>AcquisitionFrameRateReg</pValue>
      <Min>0.01</Min>
      <pMax>AcquisitionFrameRateMaxCalc</pMax>
      <Unit>Hz</Unit>
    </Float>
    <SwissKnife Name="AcquisitionFrameRateMaxCalc">
      <pVariable Name="EXPOSURE">ExposureTimeRaw</pVariable>
      <Formula>(10000000.0 / EXPOSURE) &gt; 1000000.0 ? 1000000.0 : 10000000.0 / EXPOSURE</Formula>
    </SwissKnife>
    <FloatReg Name="AcquisitionFrameRateReg">
      <pInvalidator>ExposureTimeRaw</pInvalidator>
      <Address>0x10030</Address>
      <Length>8</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Endianess>BigEndian</Endianess>
    </FloatReg>
    <Float Name="ExposureTime" NameSpace="Standard">
      <ToolTip>Exposure time in microseconds (the device counts tenths of a microsecond).</ToolTip>
      <DisplayName>Exposure Time</DisplayName>
      <Streamable>Yes</Streamable>
      <pValue>ExposureTimeConverter</pValue>
      <Min>0.1</Min>
      <Max>10000000.0</Max>
      <Unit>us</Unit>
    </Float>
    <Converter Name="ExposureTimeConverter">
      <FormulaTo>FROM * 10</FormulaTo>
      <FormulaFrom>TO / 10.0</FormulaFrom>
      <pValue>ExposureTimeRaw</pValue>
      <Slope>Increasing</Slope>
    </Converter>
    <IntReg Name="ExposureTimeRaw">
      <Address>0x1003C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Boolean Name="AcquisitionActive">
      <ToolTip>True while the device produces frames.</ToolTip>
      <pValue>AcquisitionActiveBit</pValue>
      <OnValue>1</OnValue>
      <OffValue>0</OffValue>
    </Boolean>
    <Boolean Name="FrameEndEventEnable">
      <ToolTip>Sends an event on the message channel at the end of every frame.</ToolTip>
      <pValue>FrameEndEventEnableBit</pValue>
      <OnValue>1</OnValue>
      <OffValue>0</OffValue>
    </Boolean>
    <Enumeration Name="TriggerSelector" NameSpace="Standard">
      <ToolTip>The trigger the other trigger features configure.</ToolTip>
      <Streamable>Yes</Streamable>
      <EnumEntry Name="FrameStart"><Value>0</Value></EnumEntry>
      <pValue>TriggerSelectorReg</pValue>
      <pSelected>TriggerMode</pSelected>
      <pSelected>TriggerSource</pSelected>
      <pSelected>TriggerActivation</pSelected>
    </Enumeration>
    <IntReg Name="TriggerSelectorReg">
      <Address>0x10048</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="TriggerMode" NameSpace="Standard">
      <ToolTip>Whether each frame waits for a trigger.</ToolTip>
      <Streamable>Yes</Streamable>
      <EnumEntry Name="Off"><Value>0</Value></EnumEntry>
      <EnumEntry Name="On"><Value>1</Value></EnumEntry>
      <pValue>TriggerModeReg</pValue>
    </Enumeration>
    <IntReg Name="TriggerModeReg">
      <Address>0x1004C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="TriggerSource" NameSpace="Standard">
      <ToolTip>Where the trigger comes from.</ToolTip>
      <Streamable>Yes</Streamable>
      <EnumEntry Name="Software"><Value>0</Value></EnumEntry>
      <EnumEntry Name="Line0"><Value>1</Value></EnumEntry>
      <EnumEntry Name="Line1"><Value>2</Value></EnumEntry>
      <pValue>TriggerSourceReg</pValue>
    </Enumeration>
    <IntReg Name="TriggerSourceReg">
      <Address>0x10050</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="TriggerActivation" NameSpace="Standard">
      <ToolTip>The edge of the input line that triggers.</ToolTip>
      <Streamable>Yes</Streamable>
      <EnumEntry Name="RisingEdge"><Value>0</Value></EnumEntry>
      <EnumEntry Name="FallingEdge"><Value>1</Value></EnumEntry>
      <pValue>TriggerActivationReg</pValue>
    </Enumeration>
    <IntReg Name="TriggerActivationReg">
      <Address>0x10058</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="TriggerSoftware" NameSpace="Standard">
      <ToolTip>Triggers one frame when the trigger source is Software.</ToolTip>
      <pValue>TriggerSoftwareReg</pValue>
      <CommandValue>1</CommandValue>
    </Command>
    <IntReg Name="TriggerSoftwareReg">
      <Address>0x10054</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
  </Group>

  <Group Comment="Analog control">
    <Category Name="AnalogControl" NameSpace="Standard">
      <pFeature>Gain</pFeature>
    </Category>
    <Float Name="Gain" NameSpace="Standard">
      <ToolTip>Sensor gain in dB.</ToolTip>
      <DisplayName>Gain (dB)</DisplayName>
      <Description>Amplification of the sensor signal before digitisation, in decibels.</Description>
      <Streamable>Yes</Streamable>
      <pValue>GainReg</pValue>
      <Min>0</Min>
      <Max>24</Max>
      <Unit>dB</Unit>
    </Float>
    <FloatReg Name="GainReg">
      <Address>0x10038</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Endianess>BigEndian</Endianess>
    </FloatReg>
  </Group>

  <Group Comment="Chunk data control">
    <Category Name="ChunkDataControl" NameSpace="Standard">
      <pFeature>ChunkModeActive</pFeature>
      <pFeature>ChunkSelector</pFeature>
      <pFeature>ChunkEnable</pFeature>
      <pFeature>ChunkTimestamp</pFeature>
      <pFeature>ChunkExposureTime</pFeature>
      <pFeature>ChunkFrameID</pFeature>
      <pFeature>ChunkWidth</pFeature>
      <pFeature>ChunkHeight</pFeature>
    </Category>
    <Boolean Name="ChunkModeActive" NameSpace="Standard">
      <ToolTip>Sends each frame's payload as chunk data: the image and the enabled chunks.</ToolTip>
      <Streamable>Yes</Streamable>
      <pIsLocked>TLParamsLocked</pIsLocked>
      <pValue>ChunkModeActiveReg</pValue>
      <OnValue>1</OnValue>
      <OffValue>0</OffValue>
    </Boolean>
    <IntReg Name="ChunkModeActiveReg">
      <Address>0x1005C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="ChunkSelector" NameSpace="Standard">
      <ToolTip>The chunk ChunkEnable switches.</ToolTip>
      <Streamable>Yes</Streamable>
      <EnumEntry Name="Image"><Value>0</Value></EnumEntry>
      <EnumEntry Name="Timestamp"><Value>1</Value></EnumEntry>
      <EnumEntry Name="ExposureTime"><Value>2</Value></EnumEntry>
      <EnumEntry Name="FrameID"><Value>3</Value></EnumEntry>
      <EnumEntry Name="Width"><Value>4</Value></EnumEntry>
      <EnumEntry Name="Height"><Value>5</Value></EnumEntry>
      <pValue>ChunkSelectorReg</pValue>
      <pSelected>ChunkEnable</pSelected>
    </Enumeration>
    <IntReg Name="ChunkSelectorReg">
      <Address>0x10060</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Boolean Name="ChunkEnable" NameSpace="Standard">
      <ToolTip>Whether the selected chunk is sent while ChunkModeActive is on.</ToolTip>
      <Streamable>Yes</Streamable>
      <pIsLocked>TLParamsLocked</pIsLocked>
      <pValue>ChunkEnableReg</pValue>
      <OnValue>1</OnValue>
      <OffValue>0</OffValue>
    </Boolean>
    <IntReg Name="ChunkEnableReg">
      <Address>0x10064</Address>
      <pIndex Offset="4">ChunkSelectorReg</pIndex>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="ChunkEnableImageReg">
      <Address>0x10064</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="ChunkEnableTimestampReg">
      <Address>0x10068</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="ChunkEnableExposureTimeReg">
      <Address>0x1006C</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="ChunkEnableFrameIDReg">
      <Address>0x10070</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="ChunkEnableWidthReg">
      <Address>0x10074</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="ChunkEnableHeightReg">
      <Address>0x10078</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="ChunkTimestamp" NameSpace="Standard">
      <ToolTip>Device timestamp of the frame's start, in ticks.</ToolTip>
      <pValue>ChunkTimestampReg</pValue>
    </Integer>
    <IntReg Name="ChunkTimestampReg">
      <Address>0x0</Address>
      <Length>8</Length>
      <AccessMode>RO</AccessMode>
      <pPort>ChunkTimestampPort</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>LittleEndian</Endianess>
    </IntReg>
    <Port Name="ChunkTimestampPort">
      <ChunkID>A5C10002</ChunkID>
    </Port>
    <Float Name="ChunkExposureTime" NameSpace="Standard">
      <ToolTip>Exposure time of the frame in microseconds.</ToolTip>
      <pValue>ChunkExposureTimeReg</pValue>
      <Unit>us</Unit>
    </Float>
    <FloatReg Name="ChunkExposureTimeReg">
      <Address>0x0</Address>
      <Length>8</Length>
      <AccessMode>RO</AccessMode>
      <pPort>ChunkExposureTimePort</pPort>
      <Endianess>LittleEndian</Endianess>
    </FloatReg>
    <Port Name="ChunkExposureTimePort">
      <ChunkID>A5C10003</ChunkID>
    </Port>
    <Integer Name="ChunkFrameID" NameSpace="Standard">
      <ToolTip>The frame's block id.</ToolTip>
      <pValue>ChunkFrameIDReg</pValue>
    </Integer>
    <IntReg Name="ChunkFrameIDReg">
      <Address>0x0</Address>
      <Length>8</Length>
      <AccessMode>RO</AccessMode>
      <pPort>ChunkFrameIDPort</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>LittleEndian</Endianess>
    </IntReg>
    <Port Name="ChunkFrameIDPort">
      <ChunkID>A5C10004</ChunkID>
    </Port>
    <Integer Name="ChunkWidth" NameSpace="Standard">
      <ToolTip>Width of the frame's image.</ToolTip>
      <pValue>ChunkWidthReg</pValue>
    </Integer>
    <IntReg Name="ChunkWidthReg">
      <Address>0x0</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>ChunkWidthPort</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>LittleEndian</Endianess>
    </IntReg>
    <Port Name="ChunkWidthPort">
      <ChunkID>A5C10005</ChunkID>
    </Port>
    <Integer Name="ChunkHeight" NameSpace="Standard">
      <ToolTip>Height of the frame's image.</ToolTip>
      <pValue>ChunkHeightReg</pValue>
    </Integer>
    <IntReg Name="ChunkHeightReg">
      <Address>0x0</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>ChunkHeightPort</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>LittleEndian</Endianess>
    </IntReg>
    <Port Name="ChunkHeightPort">
      <ChunkID>A5C10006</ChunkID>
    </Port>
    <Port Name="ChunkImagePort">
      <ChunkID>A5C10001</ChunkID>
    </Port>
  </Group>

  <Group Comment="Event control">
    <Category Name="EventControl" NameSpace="Standard">
      <pFeature>EventSelector</pFeature>
      <pFeature>EventNotification</pFeature>
      <pFeature>EventExposureEndData</pFeature>
      <pFeature>EventFrameStartData</pFeature>
    </Category>
    <Enumeration Name="EventSelector" NameSpace="Standard">
      <ToolTip>The event EventNotification turns on or off.</ToolTip>
      <EnumEntry Name="ExposureEnd"><Value>0</Value></EnumEntry>
      <EnumEntry Name="FrameStart"><Value>1</Value></EnumEntry>
      <pValue>EventSelectorReg</pValue>
      <pSelected>EventNotification</pSelected>
    </Enumeration>
    <IntReg Name="EventSelectorReg">
      <Address>0x1007C</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="EventNotification" NameSpace="Standard">
      <ToolTip>Whether the selected event is sent on the message channel.</ToolTip>
      <EnumEntry Name="Off"><Value>0</Value></EnumEntry>
      <EnumEntry Name="On"><Value>1</Value></EnumEntry>
      <pIndex>EventSelectorReg</pIndex>
      <pValueIndexed Index="0">EventNotificationExposureEndReg</pValueIndexed>
      <pValueIndexed Index="1">EventNotificationFrameStartReg</pValueIndexed>
    </Enumeration>
    <IntReg Name="EventNotificationExposureEndReg">
      <Address>0x10080</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="EventNotificationFrameStartReg">
      <Address>0x10084</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Category Name="EventExposureEndData" NameSpace="Standard">
      <pFeature>EventExposureEnd</pFeature>
      <pFeature>EventExposureEndTimestamp</pFeature>
      <pFeature>EventExposureEndFrameID</pFeature>
    </Category>
    <Port Name="EventExposureEndPort">
      <EventID>9002</EventID>
    </Port>
    <Integer Name="EventExposureEnd" NameSpace="Standard">
      <ToolTip>The event id of ExposureEnd events.</ToolTip>
      <Visibility>Expert</Visibility>
      <ImposedAccessMode>RO</ImposedAccessMode>
      <Value>0x9002</Value>
    </Integer>
    <Integer Name="EventExposureEndTimestamp" NameSpace="Standard">
      <ToolTip>Timestamp of the last ExposureEnd event.</ToolTip>
      <Visibility>Expert</Visibility>
      <pValue>EventExposureEndTimestampReg</pValue>
    </Integer>
    <IntReg Name="EventExposureEndTimestampReg">
      <Address>0x8</Address>
      <Length>8</Length>
      <AccessMode>RO</AccessMode>
      <pPort>EventExposureEndPort</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="EventExposureEndFrameID" NameSpace="Standard">
      <ToolTip>Block id of the frame of the last ExposureEnd event.</ToolTip>
      <Visibility>Expert</Visibility>
      <pValue>EventExposureEndFrameIDReg</pValue>
    </Integer>
    <IntReg Name="EventExposureEndFrameIDReg">
      <Address>0x6</Address>
      <Length>2</Length>
      <AccessMode>RO</AccessMode>
      <pPort>EventExposureEndPort</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Category Name="EventFrameStartData" NameSpace="Standard">
      <pFeature>EventFrameStart</pFeature>
      <pFeature>EventFrameStartTimestamp</pFeature>
      <pFeature>EventFrameStartFrameID</pFeature>
    </Category>
    <Port Name="EventFrameStartPort">
      <EventID>9003</EventID>
    </Port>
    <Integer Name="EventFrameStart" NameSpace="Standard">
      <ToolTip>The event id of FrameStart events.</ToolTip>
      <Visibility>Expert</Visibility>
      <ImposedAccessMode>RO</ImposedAccessMode>
      <Value>0x9003</Value>
    </Integer>
    <Integer Name="EventFrameStartTimestamp" NameSpace="Standard">
      <ToolTip>Timestamp of the last FrameStart event.</ToolTip>
      <Visibility>Expert</Visibility>
      <pValue>EventFrameStartTimestampReg</pValue>
    </Integer>
    <IntReg Name="EventFrameStartTimestampReg">
      <Address>0x8</Address>
      <Length>8</Length>
      <AccessMode>RO</AccessMode>
      <pPort>EventFrameStartPort</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="EventFrameStartFrameID" NameSpace="Standard">
      <ToolTip>Block id of the frame of the last FrameStart event.</ToolTip>
      <Visibility>Expert</Visibility>
      <pValue>EventFrameStartFrameIDReg</pValue>
    </Integer>
    <IntReg Name="EventFrameStartFrameIDReg">
      <Address>0x6</Address>
      <Length>2</Length>
      <AccessMode>RO</AccessMode>
      <pPort>EventFrameStartPort</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
  </Group>

  <Group Comment="Transport layer control">
    <Category Name="TransportLayerControl" NameSpace="Standard">
      <pFeature>PayloadSize</pFeature>
      <pFeature>TLParamsLocked</pFeature>
      <pFeature>GevSCPSPacketSize</pFeature>
      <pFeature>GevSCPSDoNotFragment</pFeature>
      <pFeature>GevSCPSFireTestPacket</pFeature>
      <pFeature>GevSCPD</pFeature>
      <pFeature>GevSCDA</pFeature>
      <pFeature>GevSCPHostPort</pFeature>
      <pFeature>GevHeartbeatTimeout</pFeature>
      <pFeature>GevCCP</pFeature>
      <pFeature>GevStreamChannelCount</pFeature>
      <pFeature>GevTimestampTickFrequency</pFeature>
      <pFeature>GevTimestampControlLatch</pFeature>
      <pFeature>GevTimestampValue</pFeature>
    </Category>
    <Integer Name="PayloadSize" NameSpace="Standard">
      <ToolTip>Bytes of one frame's payload: the image, or the chunk data while ChunkModeActive is on.</ToolTip>
      <pValue>PayloadSizeCalc</pValue>
    </Integer>
    <IntSwissKnife Name="PayloadSizeCalc">
      <pVariable Name="W">WidthReg</pVariable>
      <pVariable Name="H">HeightReg</pVariable>
      <pVariable Name="PF">PixelFormatReg</pVariable>
      <pVariable Name="CM">ChunkModeActiveReg</pVariable>
      <pVariable Name="CI">ChunkEnableImageReg</pVariable>
      <pVariable Name="CT">ChunkEnableTimestampReg</pVariable>
      <pVariable Name="CE">ChunkEnableExposureTimeReg</pVariable>
      <pVariable Name="CF">ChunkEnableFrameIDReg</pVariable>
      <pVariable Name="CW">ChunkEnableWidthReg</pVariable>
      <pVariable Name="CH">ChunkEnableHeightReg</pVariable>
      <Expression Name="IMAGE">(W * H * ((PF &gt;&gt; 16) &amp; 0xFF) + 7) / 8</Expression>
      <Formula>CM ? CI * ((IMAGE + 3) / 4 * 4 + 8) + (CT + CE + CF) * 16 + (CW + CH) * 12 : IMAGE</Formula>
    </IntSwissKnife>
    <Integer Name="TLParamsLocked" NameSpace="Standard">
      <ToolTip>While 1, the features that change the payload cannot be written.</ToolTip>
      <Visibility>Invisible</Visibility>
      <pValue>TLParamsLockedReg</pValue>
      <Min>0</Min>
      <Max>1</Max>
    </Integer>
    <IntReg Name="TLParamsLockedReg">
      <Address>0x10044</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Integer Name="GevSCPSPacketSize" NameSpace="Standard">
      <ToolTip>Stream packet size in bytes, IP and UDP headers included.</ToolTip>
      <pValue>GevSCPSPacketSizeReg</pValue>
      <Min>64</Min>
      <Max>65535</Max>
    </Integer>
    <MaskedIntReg Name="GevSCPSPacketSizeReg">
      <Address>0xD04</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <LSB>31</LSB>
      <MSB>16</MSB>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <MaskedIntReg Name="GevSCPSDoNotFragment" NameSpace="Standard">
      <ToolTip>Sets the do-not-fragment bit of stream packets.</ToolTip>
      <Address>0xD04</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Bit>1</Bit>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <MaskedIntReg Name="GevSCPSFireTestPacket" NameSpace="Standard">
      <ToolTip>Writing 1 sends one test packet of GevSCPSPacketSize bytes.</ToolTip>
      <Address>0xD04</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Bit>0</Bit>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <IntReg Name="GevSCPD" NameSpace="Standard">
      <ToolTip>Delay between stream packets, in timestamp ticks.</ToolTip>
      <Visibility>Guru</Visibility>
      <Address>0xD08</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="GevSCDA" NameSpace="Standard">
      <ToolTip>Destination IPv4 address of the stream.</ToolTip>
      <Visibility>Guru</Visibility>
      <Address>0xD18</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <MaskedIntReg Name="GevSCPHostPort" NameSpace="Standard">
      <ToolTip>Destination UDP port of the stream; 0 stops it.</ToolTip>
      <Visibility>Guru</Visibility>
      <Address>0xD00</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <LSB>31</LSB>
      <MSB>16</MSB>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </MaskedIntReg>
    <Integer Name="GevHeartbeatTimeout" NameSpace="Standard">
      <ToolTip>Heartbeat timeout in milliseconds.</ToolTip>
      <Visibility>Expert</Visibility>
      <pValue>GevHeartbeatTimeoutReg</pValue>
      <Min>100</Min>
      <Max>600000</Max>
    </Integer>
    <IntReg Name="GevHeartbeatTimeoutReg">
      <Address>0x938</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Enumeration Name="GevCCP" NameSpace="Standard">
      <ToolTip>Control channel privilege.</ToolTip>
      <EnumEntry Name="OpenAccess"><Value>0</Value></EnumEntry>
      <EnumEntry Name="ExclusiveAccess"><Value>1</Value></EnumEntry>
      <EnumEntry Name="ControlAccess"><Value>2</Value></EnumEntry>
      <pValue>GevCCPReg</pValue>
    </Enumeration>
    <IntReg Name="GevCCPReg">
      <Address>0xA00</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="GevStreamChannelCount" NameSpace="Standard">
      <ToolTip>Number of stream channels.</ToolTip>
      <Address>0x904</Address>
      <Length>4</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="GevTimestampTickFrequency" NameSpace="Standard">
      <ToolTip>Timestamp ticks per second.</ToolTip>
      <Address>0x93C</Address>
      <Length>8</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>WriteThrough</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Command Name="GevTimestampControlLatch" NameSpace="Standard">
      <ToolTip>Copies the timestamp counter into GevTimestampValue.</ToolTip>
      <pValue>GevTimestampControlReg</pValue>
      <CommandValue>2</CommandValue>
    </Command>
    <IntReg Name="GevTimestampControlReg">
      <Address>0x944</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <IntReg Name="GevTimestampValue" NameSpace="Standard">
      <ToolTip>Latched timestamp counter.</ToolTip>
      <pInvalidator>GevTimestampControlReg</pInvalidator>
      <Address>0x948</Address>
      <Length>8</Length>
      <AccessMode>RO</AccessMode>
      <pPort>Device</pPort>
      <Cachable>NoCache</Cachable>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
  </Group>
</RegisterDescription>
)xml";

}  // namespace

std::string_view builtin_description() { return kDescription; }

}  // namespace korvalite::sim
