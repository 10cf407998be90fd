<?xml version="1.0" encoding="UTF-8"?>
<xsl:stylesheet version="1.0" xmlns:xsl="http://www.w3.org/1999/XSL/Transform">
  <xsl:output method="xml" indent="yes" encoding="UTF-8"/>
  <xsl:template match="/orders">
    <summary total="{sum(order/qty)}">
      <xsl:for-each select="order">
        <xsl:sort select="qty" data-type="number" order="descending"/>
        <line n="{@id}"><xsl:value-of select="item"/></line>
      </xsl:for-each>
    </summary>
  </xsl:template>
</xsl:stylesheet>
